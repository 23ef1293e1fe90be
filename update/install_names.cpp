// Checks on the install names taken from a package.
#include "install_names.h"
#include "result_codes.h"
#include "strbuf.h"
#include "text.h"
#include <stdlib.h>
#include <string.h>

static bool IsSeparator(unsigned char b) {
    return b == '\\' || b == '/';
}

static char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

// Windows opens a device for these names whatever extension follows and
// whatever blanks stand before it, so "nul.txt" and "COM1 .log" count too.
static bool IsDeviceName(const char* component, size_t length) {
    static const char* const kDevices[] = {"con",  "prn",  "aux",  "nul",  "conin$", "conout$",
                                           "com1", "com2", "com3", "com4", "com5",   "com6",
                                           "com7", "com8", "com9", "lpt1", "lpt2",   "lpt3",
                                           "lpt4", "lpt5", "lpt6", "lpt7", "lpt8",   "lpt9"};
    size_t stem = 0;
    while (stem < length && component[stem] != '.')
        stem++;
    while (stem > 0 && component[stem - 1] == ' ')
        stem--;
    char lowered[8];
    if (stem == 0 || stem >= sizeof lowered) return false;
    for (size_t i = 0; i < stem; i++)
        lowered[i] = AsciiLower(component[i]);
    lowered[stem] = 0;
    for (const char* device : kDevices)
        if (strcmp(lowered, device) == 0) return true;
    return false;
}

bool IsSafeInstallName(const char* name) {
    const unsigned char* p = (const unsigned char*)name;
    if (!*p || IsSeparator(*p)) return false; // empty, rooted or UNC
    for (;;) {
        const unsigned char* start = p;
        bool endsBadly = false; // last character a dot or a blank
        while (*p && !IsSeparator(*p)) {
            if (IsLeadByte(*p)) {
                if (!IsTrailByte(p[1])) return false; // a broken character
                p += 2;
                endsBadly = false;
                continue;
            }
            // ':' would name a drive or an alternate stream; the rest Windows refuses.
            if (*p < 0x20 || strchr("<>:\"|?*", *p)) return false;
            endsBadly = *p == '.' || *p == ' ';
            p++;
        }
        // An empty component, and "." and ".." through their last dot.
        if (p == start || endsBadly) return false;
        if (IsDeviceName((const char*)start, (size_t)(p - start))) return false;
        if (!*p) return true;
        p++;
    }
}

void NormalInstallName(char (&out)[kMaxPath], const char* name) {
    CopyText(out, name);
    for (unsigned char* p = (unsigned char*)out; *p; p++) {
        if (IsLeadByte(*p) && p[1]) {
            p++;
            continue;
        }
        if (*p == '/') *p = '\\';
    }
    LowerName(out);
}

// Names the commit uses itself: the lists' temporary and set-aside files, the
// journal, and the uninstall list, which the commit writes as its own step.
static bool IsReservedName(const char* name) {
    static const char* const kReserved[] = {"krn.hvl.tmp",    "uninst.lst.tmp", "krn.hvl.old",
                                            "uninst.lst.old", "krnupdate.jnl",  "uninst.lst"};
    char normal[kMaxPath];
    NormalInstallName(normal, name);
    for (const char* reserved : kReserved)
        if (strcmp(normal, reserved) == 0) return true;
    return false;
}

uint32_t CheckInstallNames(const char* const* names, uint32_t count) {
    for (uint32_t i = 0; i < count; i++)
        if (!IsSafeInstallName(names[i]) || strlen(names[i]) >= kMaxPath ||
            IsReservedName(names[i]))
            return UPDATE_E_PACKAGE;
    if (count < 2) return UPDATE_OK;

    typedef char Name[kMaxPath];
    Name* normal = (Name*)malloc(count * sizeof(Name));
    if (!normal) return UPDATE_E_FAILED;
    for (uint32_t i = 0; i < count; i++)
        NormalInstallName(normal[i], names[i]);

    // At most 256 names: comparing every pair is cheap.
    uint32_t result = UPDATE_OK;
    for (uint32_t i = 0; i < count && result == UPDATE_OK; i++) {
        size_t length = strlen(normal[i]);
        for (uint32_t j = 0; j < count && result == UPDATE_OK; j++) {
            if (i == j) continue;
            const char* other = normal[j];
            if (strcmp(normal[i], other) == 0) result = UPDATE_E_PACKAGE;
            // The temporary or set-aside file of entry i would be entry j's target.
            if (strncmp(normal[i], other, length) == 0 &&
                (strcmp(other + length, ".tmp") == 0 || strcmp(other + length, ".old") == 0))
                result = UPDATE_E_PACKAGE;
        }
    }
    free(normal);
    return result;
}
