#include "control/Settings.h"
