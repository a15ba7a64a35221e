#include "audio/LocalPlayer.h"
