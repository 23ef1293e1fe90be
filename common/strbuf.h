// Bounded copying and formatting into fixed buffers. The size comes from the
// array, so passing a bare pointer does not compile. Every function always
// terminates the destination and returns false when the text did not fit.
#pragma once
#include <stddef.h>
#include <stdio.h>
#include <string.h>

template <size_t N> bool CopyText(char (&dst)[N], const char* src) {
    size_t n = strlen(src);
    if (n >= N) {
        memcpy(dst, src, N - 1);
        dst[N - 1] = 0;
        return false;
    }
    memcpy(dst, src, n + 1);
    return true;
}

// Copies a field that may lack its NUL, bounded to fieldSize bytes.
template <size_t N> bool CopyField(char (&dst)[N], const char* field, size_t fieldSize) {
    size_t n = 0;
    while (n < fieldSize && field[n])
        n++;
    if (n >= N) {
        memcpy(dst, field, N - 1);
        dst[N - 1] = 0;
        return false;
    }
    memcpy(dst, field, n);
    dst[n] = 0;
    return true;
}

template <size_t N, typename... Args>
bool FormatText(char (&dst)[N], const char* fmt, Args... args) {
    int n = snprintf(dst, N, fmt, args...);
    if (n < 0) dst[0] = 0;
    return n >= 0 && (size_t)n < N;
}
