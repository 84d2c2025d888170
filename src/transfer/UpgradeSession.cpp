#include "UpgradeSession.h"
