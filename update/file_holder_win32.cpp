// Who holds a file open, for the support log.
#include "file_system.h"
#include <windows.h>

// Placeholder until the Restart Manager lookup is written.
bool DescribeFileHolder(const char*, char* name, size_t size) {
    if (size) name[0] = 0;
    return false;
}
