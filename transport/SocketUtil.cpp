#include "transport/SocketUtil.h"
