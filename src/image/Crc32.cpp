#include "Crc32.h"
