#include "ReadThread.h"
