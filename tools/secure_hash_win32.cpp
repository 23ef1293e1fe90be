// SHA-1 and SHA-256 through the CryptoAPI that every Windows since XP SP3 carries.
#include "secure_hash.h"

#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

struct CryptoHash {
    HCRYPTPROV provider;
    HCRYPTHASH hash;
    bool failed;
};

bool HashBegin(SecureHash* h, HashKind kind) {
    h->kind = kind;
    CryptoHash* state = new CryptoHash{0, 0, false};
    if (!CryptAcquireContextW(&state->provider, nullptr, nullptr, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT)) {
        delete state;
        return false;
    }
    if (!CryptCreateHash(state->provider, kind == kHashSha1 ? CALG_SHA1 : CALG_SHA_256, 0, 0,
                         &state->hash)) {
        CryptReleaseContext(state->provider, 0);
        delete state;
        return false;
    }
    h->state = state;
    return true;
}

void HashFeed(SecureHash* h, const void* bytes, size_t size) {
    CryptoHash* state = (CryptoHash*)h->state;
    const BYTE* p = (const BYTE*)bytes;
    while (state && !state->failed && size) {
        DWORD part = size > 0x1000000 ? 0x1000000 : (DWORD)size;
        state->failed = !CryptHashData(state->hash, p, part, 0);
        p += part;
        size -= part;
    }
}

bool HashEnd(SecureHash* h, unsigned char (&digest)[kMaxHashSize]) {
    CryptoHash* state = (CryptoHash*)h->state;
    h->state = nullptr;
    if (!state) return false;
    DWORD size = kMaxHashSize;
    bool ok = !state->failed && CryptGetHashParam(state->hash, HP_HASHVAL, digest, &size, 0) &&
              size == HashSize(h->kind);
    CryptDestroyHash(state->hash);
    CryptReleaseContext(state->provider, 0);
    delete state;
    return ok;
}
