// Code-page conversion on Windows: the system's own services, so text comes
// out exactly as every other program on the machine would convert it.
#include "text.h"

#include <windows.h>

int MultiByteToWide(uint32_t codePage, const char* s, WideChar* dst, int dstUnits) {
    if (!s) return 0;
    return MultiByteToWideChar(codePage, 0, s, -1, dst, dst ? dstUnits : 0);
}

// No default character is passed: characters without a form in the code page
// become the code page's own replacement ('?' for 932).
int WideToMultiByte(uint32_t codePage, const WideChar* w, char* dst, int dstBytes) {
    if (!w) return 0;
    return WideCharToMultiByte(codePage, 0, w, -1, dst, dst ? dstBytes : 0, nullptr, nullptr);
}
