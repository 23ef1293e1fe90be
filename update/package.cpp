// Placeholder until the package reader lands.
#include "package.h"

bool ReadTitleBlockFrom(const char*, char (&title)[kTitleBlockSize]) {
    title[0] = 0;
    return false;
}
bool ReadTitleBlock(char (&title)[kTitleBlockSize]) { return ReadTitleBlockFrom("", title); }
