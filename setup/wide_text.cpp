// Bounded joining and comparing of UTF-16 texts for setup.
#include "wide_text.h"

bool JoinWideList(WideChar* dst, size_t capacity, const WideChar* const* parts, size_t count) {
    size_t used = 0;
    for (size_t i = 0; i < count; i++) {
        for (const WideChar* p = parts[i]; *p; p++) {
            if (used + 1 >= capacity) {
                if (capacity > 0) dst[0] = 0;
                return false;
            }
            dst[used++] = *p;
        }
    }
    if (used >= capacity) return false; // capacity 0: nothing can be written
    dst[used] = 0;
    return true;
}

bool SameWide(const WideChar* a, const WideChar* b) {
    while (*a && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

static void FormatNumberedName(WideChar (&dst)[kCopyNameUnits], uint32_t n, const WideChar* tail) {
    const WideChar* head = WIDE("KRN_");
    size_t used = 0;
    while (*head)
        dst[used++] = *head++;
    WideChar digits[6];
    for (int i = 5; i >= 0; i--) {
        digits[i] = (WideChar)('0' + n % 10);
        n /= 10;
    }
    for (WideChar d : digits)
        dst[used++] = d;
    while (*tail)
        dst[used++] = *tail++;
    dst[used] = 0;
}

void FormatCopyName(WideChar (&dst)[kCopyNameUnits], uint32_t n) {
    FormatNumberedName(dst, n, WIDE(".exe"));
}

void FormatRunFolderName(WideChar (&dst)[kCopyNameUnits], uint32_t n) {
    FormatNumberedName(dst, n, WIDE(".tmp"));
}
