#include "control/EventQueue.h"
