// Processor features from CPUID, and the operating system's register
// support from XGETBV. Asked once, by the digest's path selection.
#include "cpu_features.h"
#include <cpuid.h>

bool CpuHasSse2() {
    unsigned a, b, c, d;
    // __get_cpuid also fails on a processor without CPUID.
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    return (d & bit_SSE2) != 0;
}

bool CpuHasAvx2() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    // XGETBV exists only with OSXSAVE; AVX there means the encoding is usable.
    if (!(c & bit_OSXSAVE) || !(c & bit_AVX) || !(d & bit_SSE2)) return false;
    unsigned xcr0, xcr0High;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if ((xcr0 & 6) != 6) return false; // XMM and YMM state saved by the OS
    if (__get_cpuid_max(0, 0) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & bit_AVX2) != 0;
}
