#include "audio/OpusVoiceDecoder.h"
