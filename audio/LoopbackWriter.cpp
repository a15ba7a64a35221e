#include "audio/LoopbackWriter.h"
