// Secure hashes from the platform's crypto library (OpenSSL's libcrypto on
// Linux, the system's CryptoAPI on Windows): SHA-256 of a finished patch for
// publishing beside the download, SHA-1 or SHA-256 for a signature's digest.
#pragma once
#include <stddef.h>

enum HashKind { kHashSha1, kHashSha256 };

const size_t kSha1Size = 20;
const size_t kSha256Size = 32;
const size_t kMaxHashSize = 32;

inline size_t HashSize(HashKind kind) {
    return kind == kHashSha1 ? kSha1Size : kSha256Size;
}

struct SecureHash {
    void* state = nullptr; // the library's context; owned between Begin and End
    HashKind kind = kHashSha256;
};
bool HashBegin(SecureHash* hash, HashKind kind);
void HashFeed(SecureHash* hash, const void* bytes, size_t size);
// Releases the context on every path; false when any step failed. The first
// HashSize(kind) bytes of digest are the hash.
bool HashEnd(SecureHash* hash, unsigned char (&digest)[kMaxHashSize]);
