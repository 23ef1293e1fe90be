// The content digest: one pass over the bytes, state carried across chunks.
#include "digest.h"

void FeedDigest(unsigned char (&digest)[kDigestSize], const void* data, size_t size) {
    // Work on locals so the loop stays in registers; the engine feeds every
    // installed byte through here.
    uint32_t h = (uint32_t)digest[0] | (uint32_t)digest[1] << 8 | (uint32_t)digest[2] << 16 |
                 (uint32_t)digest[3] << 24;
    unsigned s1 = digest[4], x1 = digest[5], s2 = digest[6], x2 = digest[7];
    const unsigned char* p = (const unsigned char*)data;
    const unsigned char* end = p + size;
    for (; p != end; p++) {
        unsigned b = *p;
        h = h * 233u + b;
        unsigned low = h & 0xFF;
        s1 += low;
        x1 ^= low;
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
