#include "common/shared.h"

int bShowRawData = 0;
