// Checks on the install names taken from a package.
#include "install_names.h"
#include "result_codes.h"
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

// Single bytes that code page 932 leaves undefined: Windows and iconv decode
// them differently, so no name may hold one. 0xFF leads no defined pair either.
static bool IsUndefinedByte(unsigned char b) {
    return b == 0x80 || b == 0xA0 || b >= 0xFD;
}

bool IsSafeInstallName(const char* name) {
    const unsigned char* p = (const unsigned char*)name;
    if (!*p || IsSeparator(*p)) return false; // empty, rooted or UNC
    // The uninstall list drops a line's leading blanks, so the entry would
    // read back as another file.
    if (*p == ' ') return false;
    for (;;) {
        const unsigned char* start = p;
        bool endsBadly = false; // last character a dot or a blank
        while (*p && !IsSeparator(*p)) {
            if (IsUndefinedByte(*p)) return false;
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
        if (!*p) break;
        p++;
    }
    WideChar key[kMaxPath];
    return InstallNameKey(name, key); // refuses the pairs the code page leaves undefined
}

// The characters with case that code page 932 holds: Latin (half- and
// full-width), Greek, Cyrillic and the Roman numerals.
static WideChar FoldCase(WideChar c) {
    if (c >= 'A' && c <= 'Z') return (WideChar)(c + 0x20);
    if (c >= 0xFF21 && c <= 0xFF3A) return (WideChar)(c + 0x20);
    if (c >= 0x0391 && c <= 0x03A9) return (WideChar)(c + 0x20);
    if (c >= 0x0410 && c <= 0x042F) return (WideChar)(c + 0x20);
    if (c == 0x0401) return 0x0451;
    if (c >= 0x2160 && c <= 0x216F) return (WideChar)(c + 0x10);
    return c;
}

static bool FailKey(WideChar (&key)[kMaxPath]) {
    key[0] = 0;
    return false;
}

bool InstallNameKey(const char* name, WideChar (&key)[kMaxPath]) {
    if (strlen(name) >= kMaxPath) return FailKey(key);
    int units = MultiByteToWide(kCodePageSjis, name, key, (int)kMaxPath);
    if (units < 1) return FailKey(key);
    // Each character decodes to one unit, so the name and its decoded form
    // are walked side by side. An undefined pair decodes to U+30FB, which is
    // also the defined character 0x8145.
    const unsigned char* p = (const unsigned char*)name;
    int i = 0;
    for (; *p; i++) {
        if (i >= units - 1 || IsUndefinedByte(*p)) return FailKey(key);
        size_t length = 1;
        if (IsLeadByte(*p)) {
            if (!IsTrailByte(p[1])) return FailKey(key);
            if (key[i] == 0x30FB && !(p[0] == 0x81 && p[1] == 0x45)) return FailKey(key);
            length = 2;
        }
        key[i] = key[i] == '/' ? (WideChar)'\\' : FoldCase(key[i]);
        p += length;
    }
    if (i != units - 1) return FailKey(key);
    return true;
}

// Whether key, a decoded name, equals ascii.
static bool KeyIs(const WideChar* key, const char* ascii) {
    for (; *ascii; key++, ascii++)
        if (*key != (WideChar)(unsigned char)*ascii) return false;
    return *key == 0;
}

static bool KeysEqual(const WideChar* a, const WideChar* b) {
    for (; *a && *a == *b; a++, b++) {
    }
    return *a == *b;
}

// Names the commit uses itself: the lists' temporary and set-aside files, the
// journal, and the uninstall list, which the commit writes as its own step.
static bool IsReservedKey(const WideChar* key) {
    static const char* const kReserved[] = {"krn.hvl.tmp",    "uninst.lst.tmp", "krn.hvl.old",
                                            "uninst.lst.old", "krnupdate.jnl",  "uninst.lst"};
    for (const char* reserved : kReserved)
        if (KeyIs(key, reserved)) return true;
    return false;
}

uint32_t CheckInstallNames(const char* const* names, uint32_t count) {
    typedef WideChar Key[kMaxPath];
    Key* keys = (Key*)malloc((count ? count : 1) * sizeof(Key));
    if (!keys) return UPDATE_E_FAILED;
    uint32_t result = UPDATE_OK;
    for (uint32_t i = 0; i < count && result == UPDATE_OK; i++) {
        if (!IsSafeInstallName(names[i]) || !InstallNameKey(names[i], keys[i]) ||
            IsReservedKey(keys[i]))
            result = UPDATE_E_PACKAGE;
    }

    // At most 256 names: comparing every pair is cheap.
    for (uint32_t i = 0; i < count && result == UPDATE_OK; i++) {
        size_t length = WideLength(keys[i]);
        for (uint32_t j = 0; j < count && result == UPDATE_OK; j++) {
            if (i == j) continue;
            const WideChar* other = keys[j];
            if (KeysEqual(keys[i], other)) result = UPDATE_E_PACKAGE;
            // The temporary or set-aside file of entry i would be entry j's
            // target; or entry i's file would have to be the folder that
            // holds entry j.
            size_t otherLength = WideLength(other);
            if (otherLength > length && memcmp(keys[i], other, length * sizeof(WideChar)) == 0 &&
                (KeyIs(other + length, ".tmp") || KeyIs(other + length, ".old") ||
                 other[length] == '\\'))
                result = UPDATE_E_PACKAGE;
        }
    }
    free(keys);
    return result;
}
