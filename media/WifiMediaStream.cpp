#include "media/WifiMediaStream.h"
