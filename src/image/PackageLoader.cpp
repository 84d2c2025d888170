#include "PackageLoader.h"
