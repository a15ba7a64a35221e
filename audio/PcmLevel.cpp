#include "audio/PcmLevel.h"
