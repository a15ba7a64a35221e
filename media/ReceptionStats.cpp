#include "media/ReceptionStats.h"
