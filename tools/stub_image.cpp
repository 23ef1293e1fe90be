// Finds update.exe's identity in a program image without loading it.
#include "stub_image.h"

#include <string.h>

// Compares UTF-16LE text at p with the ASCII text, letter case aside.
static bool MatchesWide(const unsigned char* p, const unsigned char* end, const char* ascii) {
    for (; *ascii; ascii++, p += 2) {
        if (end - p < 2 || p[1] != 0) return false;
        unsigned char a = p[0], b = (unsigned char)*ascii;
        if (a >= 'A' && a <= 'Z') a = (unsigned char)(a + 32);
        if (b >= 'A' && b <= 'Z') b = (unsigned char)(b + 32);
        if (a != b) return false;
    }
    return true;
}

bool HasUpdateIdentity(const unsigned char* image, size_t size) {
    // The key with its terminator, 6 bytes into its String block; the value
    // follows after zero padding to a 32-bit boundary of that block.
    static const char kKey[] = "OriginalFilename";
    const size_t keyBytes = sizeof(kKey) * 2;
    const unsigned char* end = image + size;
    for (const unsigned char* p = image; (size_t)(end - p) >= keyBytes; p++) {
        if (*p != 'O' || !MatchesWide(p, end, kKey) || p[keyBytes - 2] || p[keyBytes - 1]) continue;
        const unsigned char* value = p + keyBytes;
        while (end - value >= 2 && !value[0] && !value[1] && ((value - p + 6) % 4) != 0)
            value += 2;
        if (MatchesWide(value, end, "update.exe") && end - value >= 22 && !value[20] && !value[21])
            return true;
    }
    return false;
}
