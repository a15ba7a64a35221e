#include "control/ControllerTypes.h"
