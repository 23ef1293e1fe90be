// The content digest: one pass over the bytes, state carried across chunks.
#include "digest.h"

void FeedDigest(unsigned char (&digest)[kDigestSize], const void* data, size_t size) {
    // Work on locals so the loop stays in registers; the engine feeds every
    // installed byte through here. Sums and xors of the low bytes equal the
    // low byte of the sums and xors of the whole values, so the loop keeps
    // whole values and masks once at the end.
    uint32_t h = (uint32_t)digest[0] | (uint32_t)digest[1] << 8 | (uint32_t)digest[2] << 16 |
                 (uint32_t)digest[3] << 24;
    uint32_t s1 = digest[4], x1 = digest[5], s2 = digest[6], x2 = digest[7];
    const unsigned char* p = (const unsigned char*)data;
    const unsigned char* end = p + size;

    // Four steps at a time, each step's value taken straight from h: the
    // chain through h is then one multiply per four bytes, not one per byte.
    const uint32_t a1 = 233, a2 = a1 * a1, a3 = a2 * a1, a4 = a3 * a1;
    for (; end - p >= 4; p += 4) {
        uint32_t b0 = p[0], b1 = p[1], b2 = p[2], b3 = p[3];
        // The bytes' share of each step, independent of h.
        uint32_t t2 = b0 * a1 + b1, t3 = t2 * a1 + b2, t4 = t3 * a1 + b3;
        uint32_t h1 = h * a1 + b0;
        uint32_t h2 = h * a2 + t2;
        uint32_t h3 = h * a3 + t3;
        uint32_t h4 = h * a4 + t4;
        s1 += h1 + h2 + h3 + h4;
        x1 ^= h1 ^ h2 ^ h3 ^ h4;
        s2 += b0 + b1 + b2 + b3;
        x2 ^= b0 ^ b1 ^ b2 ^ b3;
        h = h4;
    }
    for (; p != end; p++) {
        uint32_t b = *p;
        h = h * a1 + b;
        s1 += h;
        x1 ^= h;
        s2 += b;
        x2 ^= b;
    }
    digest[0] = (unsigned char)h;
    digest[1] = (unsigned char)(h >> 8);
    digest[2] = (unsigned char)(h >> 16);
    digest[3] = (unsigned char)(h >> 24);
    digest[4] = (unsigned char)s1;
    digest[5] = (unsigned char)x1;
    digest[6] = (unsigned char)s2;
    digest[7] = (unsigned char)x2;
}
