#include "ImageCheck.h"
