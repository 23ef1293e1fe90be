// The path record of setup. The split works on the UTF-8 form, in which a 0x5C
// byte is always a backslash (in Shift-JIS it may be a trail byte).
#include "path_parts.h"

#include <string.h>

PathParts::PathParts() {
    Clear();
}

void PathParts::Clear() {
    folderUtf8[0] = 0;
    pathUtf8[0] = 0;
    path[0] = 0;
    folder[0] = 0;
}

bool PathParts::SetPath(const WideChar* widePath) {
    char utf8[kPathUnits];
    if (!ToMultiByte(utf8, widePath, kTargetUtf8)) {
        Clear();
        return false;
    }
    return SetNarrowPath(utf8);
}

bool PathParts::SetNarrowPath(const char* narrowPath) {
    if (!ToWide(path, narrowPath) || !ToMultiByte(pathUtf8, path, kTargetUtf8)) {
        Clear();
        return false;
    }
    memcpy(folderUtf8, pathUtf8, sizeof folderUtf8);
    folder[0] = 0;
    for (size_t i = strlen(folderUtf8); i-- > 0;) {
        if (folderUtf8[i] != '\\') continue;
        folderUtf8[i] = 0;
        // Shorter than pathUtf8, which fitted, so this cannot run out of room.
        if (i > 0 && !ToWide(folder, folderUtf8)) {
            Clear();
            return false;
        }
        break;
    }
    return true;
}
