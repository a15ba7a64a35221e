#include "transport/ConnectionResult.h"
