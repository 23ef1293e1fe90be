// Text kinds, character walking, UTF-16 conversion and the lowercasing used
// for name matching. The code-page services themselves live in codepage_*.cpp.
#include "text.h"

#include <stdlib.h>

// Length of a sequence led by b (0x80 and above): 2 plus the run of one-bits
// from bit 5 downwards, so 2 for 0xC2-0xDF, 3 for 0xE0-0xEF, 4 for 0xF0-0xF7
// and up to 8 for 0xFF.
static uint32_t SequenceLength(unsigned char b) {
    uint32_t n = 2;
    for (int bit = 5; bit >= 0 && (b & (1u << bit)); bit--)
        n++;
    return n;
}

// Only the string up to its third multi-byte sequence decides: long texts are
// classified by their start, and Shift-JIS rarely survives three sequences.
TextKind ClassifyText(const char* s) {
    const unsigned char* p = (const unsigned char*)s;
    int sequences = 0;
    while (*p) {
        unsigned char b = *p;
        if (b < 0x80) {
            p++;
            continue;
        }
        if (b < 0xC2) return TEXT_MBCS;
        uint32_t n = SequenceLength(b);
        // The terminator fails the 10xxxxxx test too, so this never reads past it.
        for (uint32_t i = 1; i < n; i++) {
            if ((p[i] & 0xC0) != 0x80) return TEXT_MBCS;
        }
        if (++sequences == 3) return TEXT_UTF8;
        p += n;
    }
    return sequences ? TEXT_UTF8 : TEXT_ASCII;
}

// 0xFF counts as a lead byte and 0xFD, 0xFE do not: the code page's own table.
bool IsLeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC) || b == 0xFF;
}

bool IsTrailByte(unsigned char b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

uint32_t DecodeUtf8(const char* p, uint32_t* length) {
    const unsigned char* u = (const unsigned char*)p;
    unsigned char b = u[0];
    if (b < 0x80) {
        *length = 1;
        return b;
    }
    uint32_t n = SequenceLength(b);
    uint32_t value = n < 7 ? (b & ((1u << (7 - n)) - 1)) : 0;
    // Trail bytes are not checked for their form; the terminator ends the sequence early.
    uint32_t i = 1;
    for (; i < n && u[i]; i++)
        value = (value << 6) | (u[i] & 0x3F);
    *length = i;
    return value;
}

uint32_t NextChar(const char* p, TextKind kind, uint32_t* length) {
    const unsigned char* u = (const unsigned char*)p;
    if (kind == TEXT_UTF8) return DecodeUtf8(p, length);
    if (kind == TEXT_MBCS && IsLeadByte(u[0]) && u[1]) {
        *length = 2;
        return (uint32_t)u[0] << 8 | u[1];
    }
    *length = 1;
    return u[0];
}

// Text that is valid UTF-8 (plain ASCII included) is read as UTF-8, the rest as Shift-JIS.
static uint32_t SourceCodePage(const char* s) {
    return ClassifyText(s) == TEXT_MBCS ? kCodePageSjis : kCodePageUtf8;
}

static bool TargetCodePage(int target, uint32_t* codePage) {
    if (target == kTargetSjis) {
        *codePage = kCodePageSjis;
    } else if (target == kTargetUtf8) {
        *codePage = kCodePageUtf8;
    } else {
        return false;
    }
    return true;
}

static WideChar* DecodeAs(uint32_t cp, const char* s) {
    int units = MultiByteToWide(cp, s, nullptr, 0);
    if (units < 1) return nullptr;
    // One unit more than the conversion needs, always terminated.
    WideChar* w = (WideChar*)malloc(((size_t)units + 1) * sizeof(WideChar));
    if (!w) return nullptr;
    if (MultiByteToWide(cp, s, w, units) != units) {
        free(w);
        return nullptr;
    }
    w[units] = 0;
    return w;
}

WideChar* ToWide(const char* s) {
    if (!s) return nullptr;
    return DecodeAs(SourceCodePage(s), s);
}

char* ToMultiByte(const WideChar* w, int target) {
    uint32_t cp;
    if (!w || !TargetCodePage(target, &cp)) return nullptr;
    int bytes = WideToMultiByte(cp, w, nullptr, 0);
    if (bytes < 1) return nullptr;
    char* s = (char*)malloc((size_t)bytes + 1);
    if (!s) return nullptr;
    if (WideToMultiByte(cp, w, s, bytes) != bytes) {
        free(s);
        return nullptr;
    }
    s[bytes] = 0;
    return s;
}

// The caller-buffer forms check the room before converting, so a destination
// that is too small is refused instead of overrun.
bool ToWide(WideChar* dst, size_t dstUnits, const char* s) {
    if (!dst || dstUnits == 0) return false;
    dst[0] = 0;
    if (!s) return false;
    uint32_t cp = SourceCodePage(s);
    int units = MultiByteToWide(cp, s, nullptr, 0);
    if (units < 1 || (size_t)units > dstUnits) return false;
    if (MultiByteToWide(cp, s, dst, units) != units) {
        dst[0] = 0;
        return false;
    }
    return true;
}

bool ToMultiByte(char* dst, size_t dstBytes, const WideChar* w, int target) {
    if (!dst || dstBytes == 0) return false;
    dst[0] = 0;
    uint32_t cp;
    if (!w || !TargetCodePage(target, &cp)) return false;
    int bytes = WideToMultiByte(cp, w, nullptr, 0);
    if (bytes < 1 || (size_t)bytes > dstBytes) return false;
    if (WideToMultiByte(cp, w, dst, bytes) != bytes) {
        dst[0] = 0;
        return false;
    }
    return true;
}

bool IsWholeUtf8(const char* s) {
    const unsigned char* p = (const unsigned char*)s;
    while (*p) {
        unsigned char b = *p;
        if (b < 0x80) {
            p++;
            continue;
        }
        uint32_t n, least;
        if (b >= 0xC2 && b <= 0xDF) {
            n = 2, least = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            n = 3, least = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            n = 4, least = 0x10000;
        } else {
            return false;
        }
        uint32_t value = b & (0x7Fu >> n);
        // The terminator fails the 10xxxxxx test, so this never reads past it.
        for (uint32_t i = 1; i < n; i++) {
            if ((p[i] & 0xC0) != 0x80) return false;
            value = value << 6 | (p[i] & 0x3F);
        }
        if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        p += n;
    }
    return true;
}

static bool SameWide(const WideChar* a, const WideChar* b) {
    for (; *a && *a == *b; a++, b++) {
    }
    return *a == *b;
}

// The round trip finds characters without a form (they come back as '?') and
// those the system maps to a look-alike (U+00A5 to 0x5C, for instance).
int Utf8ToSjisExact(const char* s, char** out) {
    *out = nullptr;
    WideChar* wide = DecodeAs(kCodePageUtf8, s);
    if (!wide) return -1;
    char* sjis = ToMultiByte(wide, kTargetSjis);
    WideChar* back = sjis ? DecodeAs(kCodePageSjis, sjis) : nullptr;
    int result = !back ? -1 : SameWide(wide, back) ? 1 : 0;
    free(wide);
    free(back);
    if (result == 1)
        *out = sjis;
    else
        free(sjis);
    return result;
}

char* LowerAscii(char* s) {
    TextKind kind = ClassifyText(s);
    unsigned char* p = (unsigned char*)s;
    if (kind == TEXT_ASCII) {
        for (; *p; p++) {
            if (*p >= 'A' && *p <= 'Z') *p += 0x20;
        }
        return s;
    }
    while (*p) {
        uint32_t length;
        uint32_t value = NextChar((const char*)p, kind, &length);
        if (length == 1 && value >= 'A' && value <= 'Z') *p += 0x20;
        p += length;
    }
    return s;
}

const char* FindChar(const char* s, uint32_t v) {
    TextKind kind = ClassifyText(s);
    const unsigned char* p = (const unsigned char*)s;
    if (kind == TEXT_ASCII) {
        for (; *p; p++) {
            if (*p == v) return (const char*)p;
        }
        return nullptr;
    }
    while (*p) {
        uint32_t length;
        // An ASCII character is only ever its own byte: a cut or overlong
        // UTF-8 sequence (0xED before the end gives 0x0D) is never one.
        if (NextChar((const char*)p, kind, &length) == v && (v >= 0x80 || *p == v))
            return (const char*)p;
        p += length;
    }
    return nullptr;
}

// Lower form of a Shift-JIS double-byte capital, or the character itself.
// Full-width Latin, Greek, Cyrillic and the Roman numerals are the characters
// with case in the code page.
static uint32_t LowerDoubleByte(uint32_t c) {
    if (c >= 0x8260 && c <= 0x8279) return c + 0x21; // full-width A-Z
    if (c >= 0x839F && c <= 0x83B6) return c + 0x20; // Greek
    // Cyrillic: the lower range skips 0x847F, which is no character.
    if (c >= 0x8440 && c <= 0x844E) return c + 0x30;
    if (c >= 0x844F && c <= 0x8460) return c + 0x31;
    // Roman numerals one to ten, in the NEC row and in the IBM extension,
    // lower to the small ones of the IBM extension, as the system maps them.
    if (c >= 0x8754 && c <= 0x875D) return c - 0x8754 + 0xFA40;
    if (c >= 0xFA4A && c <= 0xFA53) return c - 0x0A;
    return c;
}

// Names are Shift-JIS whatever they look like, so this walks by Shift-JIS
// characters and never touches a trail byte on its own.
char* LastSeparator(char* path) {
    char* last = nullptr;
    for (char* p = path; *p; p++) {
        if (IsLeadByte((unsigned char)*p) && p[1]) {
            p++;
            continue;
        }
        if (*p == '\\' || *p == '/') last = p;
    }
    return last;
}

char* LowerName(char* s) {
    unsigned char* p = (unsigned char*)s;
    while (*p) {
        if (IsLeadByte(p[0]) && p[1]) {
            uint32_t c = LowerDoubleByte((uint32_t)p[0] << 8 | p[1]);
            p[0] = (unsigned char)(c >> 8);
            p[1] = (unsigned char)c;
            p += 2;
            continue;
        }
        if (*p >= 'A' && *p <= 'Z') *p += 0x20;
        p++;
    }
    return s;
}

size_t WideLength(const WideChar* w) {
    size_t n = 0;
    while (w[n])
        n++;
    return n;
}
