#include "XmodemSender.h"
