#include "BinFile.h"
