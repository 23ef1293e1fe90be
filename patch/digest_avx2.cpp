// The content digest with AVX2: 32 bytes per step, run only after CPUID and
// XGETBV have said yes. Compiled for AVX2 function by function, so the rest of
// the program runs on any processor.
#include "digest_tables.h"
#include <immintrin.h>

// clang (the fuzz build) spells the per-function target its own way.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

static inline __m256i Table(const int16_t* words) {
    return _mm256_load_si256((const __m256i*)words);
}

// Running sums over the sixteen 16-bit lanes. The byte shifts stay inside
// each 128-bit half, so the low half's total is added to the high half.
static inline __m256i PrefixWords(__m256i s, __m256i* total) {
    s = _mm256_add_epi16(s, _mm256_slli_si256(s, 2));
    s = _mm256_add_epi16(s, _mm256_slli_si256(s, 4));
    s = _mm256_add_epi16(s, _mm256_slli_si256(s, 8));
    __m256i halfTotals = _mm256_shufflehi_epi16(s, 0xFF);
    halfTotals = _mm256_unpackhi_epi64(halfTotals, halfTotals);
    *total = _mm256_add_epi16(halfTotals, _mm256_permute2x128_si256(halfTotals, halfTotals, 0x01));
    return _mm256_add_epi16(s, _mm256_permute2x128_si256(halfTotals, halfTotals, 0x08));
}

static inline __m128i Fold(__m256i v) {
    return _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

static inline __m128i FoldXor(__m256i v) {
    return _mm_xor_si128(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

static inline uint32_t SumLanes32(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4E));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xB1));
    return (uint32_t)_mm_cvtsi128_si32(v);
}

static inline uint32_t XorLanes32(__m128i v) {
    v = _mm_xor_si128(v, _mm_shuffle_epi32(v, 0x4E));
    v = _mm_xor_si128(v, _mm_shuffle_epi32(v, 0xB1));
    return (uint32_t)_mm_cvtsi128_si32(v);
}

KRN_REALIGN_STACK size_t FeedDigestAvx2(DigestState* state, const unsigned char* data,
                                        size_t size) {
    const DigestTables& t = kDigestTables;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lowBytes = _mm256_set1_epi16(0xFF);
    uint32_t h = state->h;
    // The same scheme as the SSE2 kernel, 32 bytes (one period) per register.
    __m256i carry = _mm256_set1_epi16((short)(h & 0xFF));
    __m256i s1 = zero, x1 = zero, s2 = zero, x2 = zero;
    size_t done = 0;
    for (; size - done >= kDigestBlock; done += kDigestBlock) {
        const unsigned char* p = data + done;
        __m256i dotLow = zero, dotHigh = zero;
        for (size_t r = 0; r < kDigestBlock / 32; r++) {
            __m256i x = _mm256_loadu_si256((const __m256i*)(p + 32 * r));
            s2 = _mm256_add_epi8(s2, x);
            x2 = _mm256_xor_si256(x2, x);
            __m256i even = _mm256_and_si256(x, lowBytes), odd = _mm256_srli_epi16(x, 8);
            __m256i oddTerm = _mm256_mullo_epi16(odd, Table(t.po));
            __m256i total;
            __m256i sum =
                PrefixWords(_mm256_add_epi16(_mm256_mullo_epi16(x, Table(t.pe)), oddTerm), &total);
            sum = _mm256_add_epi16(sum, carry);
            carry = _mm256_add_epi16(carry, total);
            __m256i lowEven = _mm256_mullo_epi16(_mm256_sub_epi16(sum, oddTerm), Table(t.qe));
            __m256i lowOdd = _mm256_mullo_epi16(sum, Table(t.qo));
            s1 = _mm256_add_epi16(s1, _mm256_add_epi16(lowEven, lowOdd));
            x1 = _mm256_xor_si256(x1, _mm256_xor_si256(lowEven, lowOdd));
            size_t w = 16 * r;
            dotLow = _mm256_add_epi32(
                dotLow, _mm256_add_epi32(_mm256_madd_epi16(even, Table(t.evenLow + w)),
                                         _mm256_madd_epi16(odd, Table(t.oddLow + w))));
            dotHigh = _mm256_add_epi32(
                dotHigh, _mm256_add_epi32(_mm256_madd_epi16(even, Table(t.evenHigh + w)),
                                          _mm256_madd_epi16(odd, Table(t.oddHigh + w))));
        }
        h = h * t.blockPower +
            SumLanes32(Fold(_mm256_add_epi32(dotLow, _mm256_slli_epi32(dotHigh, 16))));
    }
    state->h = h;
    uint32_t v = SumLanes32(Fold(_mm256_madd_epi16(s1, _mm256_set1_epi16(1))));
    state->s1 += v;
    v = XorLanes32(FoldXor(x1));
    state->x1 ^= v ^ (v >> 16);
    state->s2 += SumLanes32(Fold(_mm256_sad_epu8(s2, zero)));
    v = XorLanes32(FoldXor(x2));
    state->x2 ^= v ^ (v >> 8) ^ (v >> 16) ^ (v >> 24);
    return done;
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
