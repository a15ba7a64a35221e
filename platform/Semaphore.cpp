#include "platform/Semaphore.h"
