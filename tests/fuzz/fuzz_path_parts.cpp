// setup's path record: the first byte picks narrow text or UTF-16 units.
// A record that was set holds the path whole and its folder as the part
// before the last backslash, in both forms; one that was not is empty.
#include "fuzz_support.h"
#include "path_parts.h"
#include <string.h>

static void CheckRecord(const PathParts& parts, bool ok) {
    FUZZ_CHECK(strnlen(parts.pathUtf8, kPathUnits) < kPathUnits);
    FUZZ_CHECK(strnlen(parts.folderUtf8, kPathUnits) < kPathUnits);
    if (!ok) {
        FUZZ_CHECK(parts.path[0] == 0 && parts.pathUtf8[0] == 0 && parts.folder[0] == 0 &&
                   parts.folderUtf8[0] == 0);
        return;
    }
    // Both forms of the path say the same.
    char utf8[kPathUnits];
    FUZZ_CHECK(ToMultiByte(utf8, parts.path, kTargetUtf8));
    FUZZ_CHECK(strcmp(utf8, parts.pathUtf8) == 0);
    const char* cut = strrchr(parts.pathUtf8, '\\');
    size_t folderLength = cut ? (size_t)(cut - parts.pathUtf8) : strlen(parts.pathUtf8);
    FUZZ_CHECK(strlen(parts.folderUtf8) == folderLength);
    FUZZ_CHECK(memcmp(parts.folderUtf8, parts.pathUtf8, folderLength) == 0);
    if (!cut || cut == parts.pathUtf8) {
        FUZZ_CHECK(parts.folder[0] == 0);
    } else {
        WideChar folder[kPathUnits];
        FUZZ_CHECK(ToWide(folder, parts.folderUtf8));
        FUZZ_CHECK(memcmp(folder, parts.folder, (WideLength(folder) + 1) * sizeof(WideChar)) == 0);
    }
    // Setting the record from its own wide path gives the same record.
    PathParts again;
    FUZZ_CHECK(again.SetPath(parts.path));
    FUZZ_CHECK(strcmp(again.pathUtf8, parts.pathUtf8) == 0 &&
               strcmp(again.folderUtf8, parts.folderUtf8) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 8192) return 0;
    PathParts parts;
    if (data[0] & 1) {
        std::string narrow((const char*)data + 1, size - 1);
        CheckRecord(parts, parts.SetNarrowPath(narrow.c_str()));
    } else {
        std::vector<WideChar> wide((size - 1) / 2 + 1, 0);
        memcpy(wide.data(), data + 1, (size - 1) / 2 * 2);
        CheckRecord(parts, parts.SetPath(wide.data()));
    }
    return 0;
}
