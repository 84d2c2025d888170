#include "HexFile.h"
