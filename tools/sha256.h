// SHA-256 of a finished patch, for publishing beside the download: from
// OpenSSL's libcrypto on Linux, from the system's CryptoAPI on Windows.
#pragma once
#include <stddef.h>

const size_t kSha256Size = 32;

struct Sha256 {
    void* state = nullptr; // the library's context; owned between Begin and End
};
bool Sha256Begin(Sha256* hash);
void Sha256Feed(Sha256* hash, const void* bytes, size_t size);
// Releases the context on every path; false when any step failed.
bool Sha256End(Sha256* hash, unsigned char (&digest)[kSha256Size]);
