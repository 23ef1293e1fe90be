// The text functions on any bytes: walking never passes the terminator, the
// caller-buffer conversions never write past their buffer and agree with the
// allocating forms, and the exact UTF-8 conversion round-trips.
#include "fuzz_support.h"
#include "text.h"
#include <stdlib.h>
#include <string.h>

static void CheckWalks(const char* s, size_t length) {
    TextKind kind = ClassifyText(s);
    FUZZ_CHECK(kind == TEXT_ASCII || kind == TEXT_UTF8 || kind == TEXT_MBCS);
    if (IsWholeUtf8(s)) FUZZ_CHECK(kind != TEXT_MBCS);
    for (size_t at = 0; at < length;) {
        uint32_t n = 0;
        NextChar(s + at, kind, &n);
        FUZZ_CHECK(n >= 1 && at + n <= length);
        at += n;
    }
    const char* cr = FindChar(s, '\r');
    FUZZ_CHECK(!cr || (cr >= s && cr < s + length && *cr == '\r'));

    char* lowered = strdup(s);
    LowerAscii(lowered);
    FUZZ_CHECK(strlen(lowered) == length);
    LowerName(lowered);
    FUZZ_CHECK(strlen(lowered) == length);
    char* again = strdup(lowered);
    LowerName(again);
    FUZZ_CHECK(strcmp(again, lowered) == 0); // lowering twice changes nothing
    free(again);
    free(lowered);
}

// Every capacity from 1 to one past the need: a heap block of exactly that
// size, so a write past it is an ASan finding.
static void CheckToWide(const char* s) {
    WideChar* whole = ToWide(s);
    size_t need = whole ? WideLength(whole) + 1 : 0;
    size_t top = need ? need + 1 : 8;
    for (size_t capacity = 1; capacity <= top; capacity++) {
        WideChar* dst = (WideChar*)malloc(capacity * sizeof(WideChar));
        bool ok = ToWide(dst, capacity, s);
        FUZZ_CHECK(ok == (whole && capacity >= need));
        if (ok)
            FUZZ_CHECK(memcmp(dst, whole, need * sizeof(WideChar)) == 0);
        else
            FUZZ_CHECK(dst[0] == 0);
        free(dst);
        if (capacity > 64 && capacity + 2 < need) capacity = need - 2; // skip the middle
    }
    free(whole);
}

static void CheckToMultiByte(const WideChar* w, int target) {
    char* whole = ToMultiByte(w, target);
    size_t need = whole ? strlen(whole) + 1 : 0;
    size_t top = need ? need + 1 : 8;
    for (size_t capacity = 1; capacity <= top; capacity++) {
        char* dst = (char*)malloc(capacity);
        bool ok = ToMultiByte(dst, capacity, w, target);
        FUZZ_CHECK(ok == (whole && capacity >= need));
        if (ok)
            FUZZ_CHECK(memcmp(dst, whole, need) == 0);
        else
            FUZZ_CHECK(dst[0] == 0);
        free(dst);
        if (capacity > 64 && capacity + 2 < need) capacity = need - 2;
    }
    free(whole);
}

static void CheckExact(const char* s) {
    if (!IsWholeUtf8(s)) return;
    char* sjis = nullptr;
    int result = Utf8ToSjisExact(s, &sjis);
    FUZZ_CHECK(result != -1);
    FUZZ_CHECK((result == 1) == (sjis != nullptr));
    if (!sjis) return;
    // Decoding the Shift-JIS form gives the UTF-8 text's characters back.
    int units = MultiByteToWide(kCodePageSjis, sjis, nullptr, 0);
    int expected = MultiByteToWide(kCodePageUtf8, s, nullptr, 0);
    FUZZ_CHECK(units == expected && units > 0);
    WideChar* a = (WideChar*)malloc((size_t)units * sizeof(WideChar));
    WideChar* b = (WideChar*)malloc((size_t)units * sizeof(WideChar));
    FUZZ_CHECK(MultiByteToWide(kCodePageSjis, sjis, a, units) == units);
    FUZZ_CHECK(MultiByteToWide(kCodePageUtf8, s, b, units) == units);
    FUZZ_CHECK(memcmp(a, b, (size_t)units * sizeof(WideChar)) == 0);
    free(a);
    free(b);
    free(sjis);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    std::string text((const char*)data, size);
    const char* s = text.c_str(); // ends at the first zero byte
    CheckWalks(s, strlen(s));
    CheckToWide(s);
    CheckExact(s);

    // The same bytes as UTF-16 units, lone surrogates included.
    std::vector<WideChar> wide(size / 2 + 1, 0);
    memcpy(wide.data(), data, size / 2 * 2);
    CheckToMultiByte(wide.data(), kTargetSjis);
    CheckToMultiByte(wide.data(), kTargetUtf8);
    return 0;
}
