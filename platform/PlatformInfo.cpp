#include "platform/PlatformInfo.h"
