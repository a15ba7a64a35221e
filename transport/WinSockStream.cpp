#include "transport/WinSockStream.h"
