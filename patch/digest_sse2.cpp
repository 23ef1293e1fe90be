// The content digest with SSE2: 16 bytes per step, run only after CPUID has
// said yes. Compiled for SSE2 function by function, so the 32-bit program as
// a whole still runs on a processor without it.
#include "digest_tables.h"
#include <emmintrin.h>

// clang (the fuzz build) spells the per-function target its own way.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse2")
#endif

static inline __m128i Table(const int16_t* words) {
    return _mm_load_si128((const __m128i*)words);
}

// Running sums over the eight 16-bit lanes.
static inline __m128i PrefixWords(__m128i s) {
    s = _mm_add_epi16(s, _mm_slli_si128(s, 2));
    s = _mm_add_epi16(s, _mm_slli_si128(s, 4));
    return _mm_add_epi16(s, _mm_slli_si128(s, 8));
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

KRN_REALIGN_STACK size_t FeedDigestSse2(DigestState* state, const unsigned char* data,
                                        size_t size) {
    const DigestTables& t = kDigestTables;
    const __m128i zero = _mm_setzero_si128();
    const __m128i lowBytes = _mm_set1_epi16(0xFF);
    uint32_t h = state->h;
    // The running sum of 89^j b_j, started at l_0, in every lane.
    __m128i carry = _mm_set1_epi16((short)(h & 0xFF));
    // Word lanes whose low bytes sum and xor the low bytes of h; byte lanes
    // that sum and xor the input.
    __m128i s1 = zero, x1 = zero, s2 = zero, x2 = zero;
    size_t done = 0;
    for (; size - done >= kDigestBlock; done += kDigestBlock) {
        const unsigned char* p = data + done;
        __m128i dotLow = zero, dotHigh = zero;
        for (size_t r = 0; r < kDigestBlock / 16; r++) {
            __m128i x = _mm_loadu_si128((const __m128i*)(p + 16 * r));
            s2 = _mm_add_epi8(s2, x);
            x2 = _mm_xor_si128(x2, x);
            __m128i even = _mm_and_si128(x, lowBytes), odd = _mm_srli_epi16(x, 8);
            // Positions repeat their multipliers every 32 bytes, two registers.
            size_t half = (r & 1) * 8;
            __m128i oddTerm = _mm_mullo_epi16(odd, Table(t.po + half));
            __m128i sum =
                PrefixWords(_mm_add_epi16(_mm_mullo_epi16(x, Table(t.pe + half)), oddTerm));
            __m128i total = _mm_shufflehi_epi16(sum, 0xFF);
            total = _mm_unpackhi_epi64(total, total); // the last lane's sum in every lane
            sum = _mm_add_epi16(sum, carry);
            carry = _mm_add_epi16(carry, total);
            // sum holds the odd byte's running value; the even byte's lacks
            // the odd byte's own term.
            __m128i lowEven = _mm_mullo_epi16(_mm_sub_epi16(sum, oddTerm), Table(t.qe + half));
            __m128i lowOdd = _mm_mullo_epi16(sum, Table(t.qo + half));
            s1 = _mm_add_epi16(s1, _mm_add_epi16(lowEven, lowOdd));
            x1 = _mm_xor_si128(x1, _mm_xor_si128(lowEven, lowOdd));
            size_t w = 8 * r;
            dotLow = _mm_add_epi32(dotLow, _mm_add_epi32(_mm_madd_epi16(even, Table(t.evenLow + w)),
                                                         _mm_madd_epi16(odd, Table(t.oddLow + w))));
            dotHigh =
                _mm_add_epi32(dotHigh, _mm_add_epi32(_mm_madd_epi16(even, Table(t.evenHigh + w)),
                                                     _mm_madd_epi16(odd, Table(t.oddHigh + w))));
        }
        h = h * t.blockPower + SumLanes32(_mm_add_epi32(dotLow, _mm_slli_epi32(dotHigh, 16)));
    }
    state->h = h;
    // Lane sums and xors: only the low byte of each result counts.
    uint32_t v = SumLanes32(_mm_madd_epi16(s1, _mm_set1_epi16(1)));
    state->s1 += v;
    v = XorLanes32(x1);
    state->x1 ^= v ^ (v >> 16);
    state->s2 += SumLanes32(_mm_sad_epu8(s2, zero));
    v = XorLanes32(x2);
    state->x2 ^= v ^ (v >> 8) ^ (v >> 16) ^ (v >> 24);
    return done;
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
