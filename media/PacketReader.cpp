#include "media/PacketReader.h"
