#include "InfFile.h"
