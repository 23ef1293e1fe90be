// The content digest: the plain loop that defines it, and the choice of the
// fastest path this machine runs, made once at the first call.
#include "digest.h"
#include "cpu_features.h"
#include "digest_paths.h"

void FeedDigestPlain(DigestState* state, const unsigned char* p, size_t size) {
    // Locals keep the loop in registers. Sums and xors of the low bytes equal
    // the low byte of the sums and xors of the whole values, so the loop
    // keeps whole values and the caller masks once at the end.
    uint32_t h = state->h, s1 = state->s1, x1 = state->x1, s2 = state->s2, x2 = state->x2;
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
    *state = {h, s1, x1, s2, x2};
}

// The vector kernel FeedDigest runs before the plain loop; none for the plain
// path. Set at the first call, or by ForceDigestPath.
static DigestKernel gKernel;
static DigestPath gPath;
static bool gChosen;

DigestPath BestDigestPath() {
    if (CpuHasAvx2()) return kDigestAvx2;
    if (CpuHasSse2()) return kDigestSse2;
    return kDigestPlain;
}

bool ForceDigestPath(DigestPath path) {
    DigestKernel kernel;
    switch (path) {
    case kDigestPlain:
        kernel = nullptr;
        break;
    case kDigestSse2:
        if (!CpuHasSse2()) return false;
        kernel = FeedDigestSse2;
        break;
    case kDigestAvx2:
        if (!CpuHasAvx2()) return false;
        kernel = FeedDigestAvx2;
        break;
    default:
        return false;
    }
    gKernel = kernel;
    gPath = path;
    gChosen = true;
    return true;
}

DigestPath CurrentDigestPath() {
    if (!gChosen) ForceDigestPath(BestDigestPath());
    return gPath;
}

const char* DigestPathName(DigestPath path) {
    switch (path) {
    case kDigestPlain:
        return "plain";
    case kDigestSse2:
        return "SSE2";
    case kDigestAvx2:
        return "AVX2";
    default:
        return "?";
    }
}

void FeedDigest(unsigned char (&digest)[kDigestSize], const void* data, size_t size) {
    DigestState state = {(uint32_t)digest[0] | (uint32_t)digest[1] << 8 |
                             (uint32_t)digest[2] << 16 | (uint32_t)digest[3] << 24,
                         digest[4], digest[5], digest[6], digest[7]};
    const unsigned char* p = (const unsigned char*)data;
    if (size >= kDigestBlock) {
        if (!gChosen) ForceDigestPath(BestDigestPath());
        if (gKernel) {
            size_t done = gKernel(&state, p, size);
            p += done;
            size -= done;
        }
    }
    FeedDigestPlain(&state, p, size);
    digest[0] = (unsigned char)state.h;
    digest[1] = (unsigned char)(state.h >> 8);
    digest[2] = (unsigned char)(state.h >> 16);
    digest[3] = (unsigned char)(state.h >> 24);
    digest[4] = (unsigned char)state.s1;
    digest[5] = (unsigned char)state.x1;
    digest[6] = (unsigned char)state.s2;
    digest[7] = (unsigned char)state.x2;
}
