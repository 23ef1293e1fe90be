// The signature walk of verify: a certificate table from an untrusted patch,
// read as a WIN_CERTIFICATE, walked to its signed digest, and handed to
// libcrypto for the signer. What is accepted must lie inside the input.
#include "authenticode.h"
#include "fuzz_support.h"
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    size_t blobAt = 0, blobSize = 0;
    std::string problem;
    if (!ReadWinCertificate(data, size, &blobAt, &blobSize, &problem)) {
        FUZZ_CHECK(!problem.empty());
        return 0;
    }
    FUZZ_CHECK(blobAt == 8 && blobSize > 0 && blobAt + blobSize <= size);
    const unsigned char* der = data + blobAt;
    SignedDigest sd;
    if (!ReadSignedDigest(der, blobSize, &sd, &problem)) {
        FUZZ_CHECK(!problem.empty());
        return 0;
    }
    FUZZ_CHECK(sd.content >= der && sd.contentSize <= blobSize &&
               (size_t)(sd.content - der) <= blobSize - sd.contentSize);
    FUZZ_CHECK(sd.digestSize <= sizeof(sd.digest));
    FUZZ_CHECK(!sd.known || sd.digestSize == HashSize(sd.kind));
    FUZZ_CHECK(!sd.algorithm.empty());
    // The signer's part sees the same bytes a damaged patch would give it.
    PatchReport r;
    r.signature.present = true;
    JudgeSignature("", der, blobSize, sd, &r);
    FUZZ_CHECK(r.signature.signatureValid != 1 || r.errors.empty());
    return 0;
}
