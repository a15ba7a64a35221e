#include "transport/BtDeviceStream.h"
