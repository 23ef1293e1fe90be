// The 8-byte content digest of a file's bytes: rolling value h (bytes 0-3, LE),
// sum and xor of h's low byte, sum and xor of the input bytes.
#pragma once
#include <stddef.h>
#include <stdint.h>

const size_t kDigestSize = 8;

// Continues the digest over data; start from eight zero bytes. Feeding a file
// in chunks of any size gives the same digest as feeding it whole.
void FeedDigest(unsigned char (&digest)[kDigestSize], const void* data, size_t size);
