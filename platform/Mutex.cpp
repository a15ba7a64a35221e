#include "platform/Mutex.h"
