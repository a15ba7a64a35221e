#include "transport/ControlStream.h"
