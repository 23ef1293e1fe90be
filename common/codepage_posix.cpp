// Code-page conversion for the native build, over iconv, with the contract of
// MultiByteToWideChar / WideCharToMultiByte (input length -1, no flags).
// Replacements: a character with no Shift-JIS form becomes '?' (as the 932
// conversion gives); a lone surrogate becomes U+FFFD in UTF-8. Invalid input
// becomes U+FFFD per byte for UTF-8 and U+30FB (the code page's own default
// character, '・') per character for Shift-JIS, where a lead byte with a
// trail-range byte after it counts as one character so that the trail byte
// is never read as ASCII.
#include "text.h"

#include <errno.h>
#include <iconv.h>
#include <limits.h>
#include <string.h>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
static const char kUtf16[] = "UTF-16BE";
#else
static const char kUtf16[] = "UTF-16LE";
#endif

static const char* IconvName(uint32_t codePage) {
    if (codePage == kCodePageSjis) return "CP932";
    if (codePage == kCodePageUtf8) return "UTF-8";
    return nullptr;
}

// Bytes of input that an unconvertible character at p spans.
typedef size_t (*SkipRule)(const unsigned char* p, size_t left);

static size_t SkipByte(const unsigned char*, size_t) {
    return 1;
}

static size_t SkipSjis(const unsigned char* p, size_t left) {
    if (left >= 2 && IsLeadByte(p[0]) && IsTrailByte(p[1])) return 2;
    return 1;
}

static size_t SkipUnit(const unsigned char* p, size_t left) {
    WideChar first, second;
    if (left >= 4) {
        memcpy(&first, p, sizeof first);
        memcpy(&second, p + 2, sizeof second);
        if (first >= 0xD800 && first <= 0xDBFF && second >= 0xDC00 && second <= 0xDFFF) return 4;
    }
    return left >= 2 ? 2 : left;
}

struct Replacement {
    SkipRule skip;
    const char* bytes; // put out in place of what was skipped
    size_t size;
};

// Runs inBytes of in through cd. With out, writes at most outBytes and fails
// when they are not enough; without, only counts. Returns the bytes produced,
// or -1 on failure.
static long RunIconv(iconv_t cd, const char* in, size_t inBytes, char* out, size_t outBytes,
                     const Replacement& r) {
    char scratch[512];
    char* src = const_cast<char*>(in);
    size_t srcLeft = inBytes;
    size_t total = 0;
    for (;;) {
        char* dst = out ? out + total : scratch;
        size_t room = out ? outBytes - total : sizeof scratch;
        size_t dstLeft = room;
        size_t done = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        total += room - dstLeft;
        if (total > (size_t)INT_MAX) return -1;
        if (done != (size_t)-1) return (long)total;
        if (errno == E2BIG) {
            if (out) return -1;
            continue;
        }
        if (errno != EILSEQ && errno != EINVAL) return -1;
        if (out) {
            if (outBytes - total < r.size) return -1;
            memcpy(out + total, r.bytes, r.size);
        }
        total += r.size;
        size_t skip = r.skip((const unsigned char*)src, srcLeft);
        src += skip;
        srcLeft -= skip;
    }
}

static long Convert(const char* to, const char* from, const char* in, size_t inBytes, char* out,
                    size_t outBytes, const Replacement& r) {
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1) return -1;
    long n = RunIconv(cd, in, inBytes, out, outBytes, r);
    iconv_close(cd);
    return n;
}

int MultiByteToWide(uint32_t codePage, const char* s, WideChar* dst, int dstUnits) {
    const char* from = IconvName(codePage);
    if (!from || !s) return 0;
    WideChar fill = codePage == kCodePageSjis ? 0x30FB : 0xFFFD;
    Replacement r = {codePage == kCodePageSjis ? SkipSjis : SkipByte, (const char*)&fill,
                     sizeof fill};
    bool query = !dst || dstUnits <= 0; // as on Windows, no room given means "how much"
    long n = Convert(kUtf16, from, s, strlen(s) + 1, query ? nullptr : (char*)dst,
                     query ? 0 : (size_t)dstUnits * sizeof(WideChar), r);
    return n > 0 ? (int)(n / (long)sizeof(WideChar)) : 0;
}

int WideToMultiByte(uint32_t codePage, const WideChar* w, char* dst, int dstBytes) {
    const char* to = IconvName(codePage);
    if (!to || !w) return 0;
    static const char kQuestion[] = "?";
    static const char kReplacementUtf8[] = "\xEF\xBF\xBD"; // U+FFFD
    Replacement r = {SkipUnit, codePage == kCodePageSjis ? kQuestion : kReplacementUtf8,
                     codePage == kCodePageSjis ? 1u : 3u};
    bool query = !dst || dstBytes <= 0;
    long n = Convert(to, kUtf16, (const char*)w, (WideLength(w) + 1) * sizeof(WideChar),
                     query ? nullptr : dst, query ? 0 : (size_t)dstBytes, r);
    return n > 0 ? (int)n : 0;
}
