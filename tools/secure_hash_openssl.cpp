// SHA-1 and SHA-256 through OpenSSL's EVP interface.
#include "secure_hash.h"

#include <openssl/evp.h>

bool HashBegin(SecureHash* hash, HashKind kind) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const EVP_MD* md = kind == kHashSha1 ? EVP_sha1() : EVP_sha256();
    if (context && EVP_DigestInit_ex(context, md, nullptr) != 1) {
        EVP_MD_CTX_free(context);
        context = nullptr;
    }
    hash->state = context;
    hash->kind = kind;
    return context != nullptr;
}

void HashFeed(SecureHash* hash, const void* bytes, size_t size) {
    EVP_MD_CTX* context = (EVP_MD_CTX*)hash->state;
    // A failed update poisons the context, so End reports it.
    if (context && EVP_DigestUpdate(context, bytes, size) != 1) {
        EVP_MD_CTX_free(context);
        hash->state = nullptr;
    }
}

bool HashEnd(SecureHash* hash, unsigned char (&digest)[kMaxHashSize]) {
    EVP_MD_CTX* context = (EVP_MD_CTX*)hash->state;
    hash->state = nullptr;
    if (!context) return false;
    unsigned int size = 0;
    bool ok = EVP_DigestFinal_ex(context, digest, &size) == 1 && size == HashSize(hash->kind);
    EVP_MD_CTX_free(context);
    return ok;
}
