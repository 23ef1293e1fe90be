// The ways the content digest can be computed: the plain loop and two vector
// kernels, chosen once from what the processor and the operating system
// support. The kernels are bit for bit the plain loop over whole blocks.
#pragma once
#include <stddef.h>
#include <stdint.h>

// The digest's running state in whole values; only the low byte of s1, x1,
// s2 and x2 counts, so the loops never mask.
struct DigestState {
    uint32_t h, s1, x1, s2, x2;
};

// The vector kernels take whole blocks only; the plain loop does the rest.
const size_t kDigestBlock = 128;

// Consumes the longest whole-block prefix of data; returns its length.
typedef size_t (*DigestKernel)(DigestState* state, const unsigned char* data, size_t size);
size_t FeedDigestSse2(DigestState* state, const unsigned char* data, size_t size);
size_t FeedDigestAvx2(DigestState* state, const unsigned char* data, size_t size);
// The definition, four steps at a time: the reference and the fallback.
void FeedDigestPlain(DigestState* state, const unsigned char* data, size_t size);

enum DigestPath { kDigestPlain, kDigestSse2, kDigestAvx2, kDigestPathCount };
// The fastest path this machine runs.
DigestPath BestDigestPath();
// The path FeedDigest uses from now on; chosen at the first call.
DigestPath CurrentDigestPath();
// For tests and the benchmark: false, and nothing changed, when the machine
// cannot run the path.
bool ForceDigestPath(DigestPath path);
const char* DigestPathName(DigestPath path);
