#include "control/PlayoutQueue.h"
