// Small helpers for the UTF-16 texts of setup: literals that compile on every
// platform, and bounded joining into fixed path buffers.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "text.h"

// A UTF-16 literal of the platform's WideChar type.
#ifdef _WIN32
#define WIDE(s) L##s
#else
#define WIDE(s) u##s
#endif

// dst gets the parts one after another. False, with dst empty, when the whole
// text and its NUL do not fit in capacity units: a path is never cut.
bool JoinWideList(WideChar* dst, size_t capacity, const WideChar* const* parts, size_t count);

template <size_t N, typename... Parts> bool JoinWide(WideChar (&dst)[N], Parts... parts) {
    const WideChar* list[] = {parts...};
    return JoinWideList(dst, N, list, sizeof...(Parts));
}

bool SameWide(const WideChar* a, const WideChar* b);

// The name of the n-th temporary copy, "KRN_%06d.exe", and of the n-th private
// folder of a run, "KRN_%06d.tmp", for n from 0 to 999999.
const size_t kCopyNameUnits = 16;
void FormatCopyName(WideChar (&dst)[kCopyNameUnits], uint32_t n);
void FormatRunFolderName(WideChar (&dst)[kCopyNameUnits], uint32_t n);
