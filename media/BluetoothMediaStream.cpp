#include "media/BluetoothMediaStream.h"
