// SHA-256 through OpenSSL's EVP interface.
#include "sha256.h"

#include <openssl/evp.h>

bool Sha256Begin(Sha256* hash) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        context = nullptr;
    }
    hash->state = context;
    return context != nullptr;
}

void Sha256Feed(Sha256* hash, const void* bytes, size_t size) {
    EVP_MD_CTX* context = (EVP_MD_CTX*)hash->state;
    // A failed update poisons the context, so End reports it.
    if (context && EVP_DigestUpdate(context, bytes, size) != 1) {
        EVP_MD_CTX_free(context);
        hash->state = nullptr;
    }
}

bool Sha256End(Sha256* hash, unsigned char (&digest)[kSha256Size]) {
    EVP_MD_CTX* context = (EVP_MD_CTX*)hash->state;
    hash->state = nullptr;
    if (!context) return false;
    unsigned int size = 0;
    bool ok = EVP_DigestFinal_ex(context, digest, &size) == 1 && size == kSha256Size;
    EVP_MD_CTX_free(context);
    return ok;
}
