#include "platform/PeriodicTimer.h"
