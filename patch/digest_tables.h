// Constants shared by the vector kernels, computed by the compiler from the
// digest's multiplier 233. Position t counts from 1 at the first byte a kernel
// call sees.
//
// The low byte l of h obeys l_t = 233 l_(t-1) + b_t (mod 256). 233 has order
// 32 mod 256 and inverse 89, so l_t = 233^t (l_0 + sum of 89^j b_j, j <= t):
// a multiply, a prefix sum and a multiply, all periodic in 32 bytes. h itself
// after a block of n bytes is h 233^n + sum of b_t 233^(n-t) (mod 2^32).
#pragma once
#include "digest_paths.h"

struct DigestTables {
    // Per 16-bit lane over 32 bytes: 89^t and 233^t (mod 256) for the lane's
    // even (low) and odd (high) byte.
    alignas(32) int16_t pe[16] = {}, po[16] = {}, qe[16] = {}, qo[16] = {};
    // 233^(kDigestBlock - t) (mod 2^32) per lane of a block, split into the
    // signed 16-bit halves that pmaddwd takes: w = low + 65536 high (mod 2^32).
    alignas(32) int16_t evenLow[kDigestBlock / 2] = {}, evenHigh[kDigestBlock / 2] = {};
    alignas(32) int16_t oddLow[kDigestBlock / 2] = {}, oddHigh[kDigestBlock / 2] = {};
    uint32_t blockPower = 0; // 233^kDigestBlock (mod 2^32)
};

constexpr uint32_t DigestPower(uint32_t base, size_t n) {
    uint32_t r = 1;
    for (; n; n--)
        r *= base;
    return r;
}

constexpr int16_t Signed16(uint32_t v) {
    v &= 0xFFFF;
    return (int16_t)(v >= 0x8000 ? (int32_t)v - 0x10000 : (int32_t)v);
}

constexpr DigestTables MakeDigestTables() {
    DigestTables t;
    for (size_t k = 0; k < 16; k++) {
        t.pe[k] = (int16_t)(DigestPower(89, 2 * k + 1) & 0xFF);
        t.po[k] = (int16_t)(DigestPower(89, 2 * k + 2) & 0xFF);
        t.qe[k] = (int16_t)(DigestPower(233, 2 * k + 1) & 0xFF);
        t.qo[k] = (int16_t)(DigestPower(233, 2 * k + 2) & 0xFF);
    }
    for (size_t k = 0; k < kDigestBlock / 2; k++) {
        uint32_t even = DigestPower(233, kDigestBlock - (2 * k + 1));
        uint32_t odd = DigestPower(233, kDigestBlock - (2 * k + 2));
        t.evenLow[k] = Signed16(even);
        t.evenHigh[k] = Signed16((even - (uint32_t)(int32_t)t.evenLow[k]) >> 16);
        t.oddLow[k] = Signed16(odd);
        t.oddHigh[k] = Signed16((odd - (uint32_t)(int32_t)t.oddLow[k]) >> 16);
    }
    t.blockPower = DigestPower(233, kDigestBlock);
    return t;
}

inline constexpr DigestTables kDigestTables = MakeDigestTables();

// The vector kernels are entered from code that may run on a stack aligned to
// 4 bytes only (32-bit Windows); realign there so that spilled 128-bit values
// meet the alignment that legacy SSE memory operands need. The wider spills
// are made safe by assembling with unaligned moves (see CMakeLists.txt).
#if defined(__i386__)
#define KRN_REALIGN_STACK __attribute__((force_align_arg_pointer))
#else
#define KRN_REALIGN_STACK
#endif
