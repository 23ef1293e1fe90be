// An Authenticode signature checked against the file it sits in: the bytes
// its image digest covers, the digest the signature carries (read from the
// PKCS#7 by hand, so both platforms agree on it), and, through the platform,
// the judgement of the signer.
#pragma once
#include "patch_inspect.h"
#include "secure_hash.h"
#include <stddef.h>
#include <stdint.h>
#include <string>

// One stretch of the file that the image digest covers: [start, end).
struct HashRange {
    uint64_t start;
    uint64_t end;
};

// The whole file but the CheckSum, the certificate table's directory entry
// and the table itself, in file order; returns how many ranges (some may be
// empty). The caller has made sure the table lies inside the file, behind
// the headers.
int ImageDigestRanges(const PatchReport& r, HashRange (&ranges)[4]);

// The first WIN_CERTIFICATE of a certificate table: where its PKCS#7
// SignedData lies in the table. False with a reason when the table holds
// no Authenticode signature or its header is damaged.
bool ReadWinCertificate(const unsigned char* table, size_t size, size_t* blobAt, size_t* blobSize,
                        std::string* problem);

// The image digest a signature carries: its SpcIndirectDataContent.
struct SignedDigest {
    bool known = false; // the algorithm is one we can compute
    HashKind kind = kHashSha256;
    std::string algorithm; // "SHA-256", "SHA-1", or the dotted OID of another
    unsigned char digest[64] = {0};
    size_t digestSize = 0;
    // The SpcIndirectDataContent's value (its bytes after the SEQUENCE
    // header): what the signed messageDigest attribute is the digest of.
    const unsigned char* content = nullptr;
    size_t contentSize = 0;
};

// Walks the DER of a PKCS#7 ContentInfo down to the SpcIndirectDataContent
// and its digest. False with a reason when the bytes are not such a thing.
bool ReadSignedDigest(const unsigned char* der, size_t size, SignedDigest* signedDigest,
                      std::string* problem);

// Reads the certificate table, computes the image digest of the file in
// chunks and compares it with the signed one, then lets the platform judge
// the signer (JudgeSignature). Findings land in r->signature, r->errors and
// r->warnings. Called only when the table lies wholly behind the payload.
void CheckSignature(const std::string& path, const char* enginePath, PatchReport* r,
                    ProgressTally* progress);

// The platform's part, after the image digest matched or not:
// natively (libcrypto) the signer's signature over the signed attributes and
// their messageDigest of the indirect data, the chain not judged; on Windows
// the system's trust services, which judge the chain too. Fills signer,
// signatureValid, chain and covered; adds errors and warnings.
void JudgeSignature(const std::string& path, const unsigned char* pkcs7, size_t size,
                    const SignedDigest& signedDigest, PatchReport* r);
