#include "transport/ServerConnection.h"
