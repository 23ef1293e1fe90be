// The flags shared by the dialog and the update procedure; all zero at start.
#include "progress.h"

uint32_t gCancelFlag = 0;
uint32_t gCloseFlag = 0;
