// The signer's part of an Authenticode signature through OpenSSL's
// libcrypto: the signed attributes' messageDigest of the indirect data and
// the signer's signature over them, checked with the certificate the
// signature carries. Whom to trust is not decided here: no trust store.
#include "authenticode.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <string.h>

static std::string SubjectText(X509* certificate) {
    BIO* text = BIO_new(BIO_s_mem());
    if (!text) return "";
    // RFC 2253 order and escaping, but UTF-8 left as it is.
    X509_NAME_print_ex(text, X509_get_subject_name(certificate), 0,
                       XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    long n = BIO_get_mem_data(text, &data);
    std::string subject(data && n > 0 ? data : "", data && n > 0 ? (size_t)n : 0);
    BIO_free(text);
    return subject;
}

// PKCS7_signatureVerify wants the signed content behind a digest BIO of the
// signer's algorithm; the content here is the indirect data's value.
static int VerifySignerSignature(PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* signer, const EVP_MD* md,
                                 const SignedDigest& sd) {
    BIO* content = BIO_new_mem_buf(sd.content, (int)sd.contentSize);
    BIO* digest = BIO_new(BIO_f_md());
    if (!content || !digest || BIO_set_md(digest, md) != 1) {
        BIO_free(content);
        BIO_free(digest);
        return -1;
    }
    BIO_push(digest, content);
    char buffer[4096];
    while (BIO_read(digest, buffer, sizeof(buffer)) > 0) {
    }
    int result = PKCS7_signatureVerify(digest, p7, si, signer);
    BIO_free_all(digest);
    return result;
}

void JudgeSignature(const std::string&, const unsigned char* pkcs7, size_t size,
                    const SignedDigest& sd, PatchReport* r) {
    SignatureReport& s = r->signature;
    s.chain = "not judged";
    const unsigned char* p = pkcs7;
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, (long)size);
    if (!p7 || !PKCS7_type_is_signed(p7) || !p7->d.sign) {
        PKCS7_free(p7);
        ERR_clear_error();
        r->errors.push_back("the signature's PKCS#7 data is damaged (libcrypto cannot read it)");
        return;
    }
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
    int signers = infos ? sk_PKCS7_SIGNER_INFO_num(infos) : 0;
    PKCS7_SIGNER_INFO* si = signers == 1 ? sk_PKCS7_SIGNER_INFO_value(infos, 0) : nullptr;
    X509* signer =
        si && si->issuer_and_serial
            ? X509_find_by_issuer_and_serial(p7->d.sign->cert, si->issuer_and_serial->issuer,
                                             si->issuer_and_serial->serial)
            : nullptr;
    const EVP_MD* md = si ? EVP_get_digestbyobj(si->digest_alg->algorithm) : nullptr;
    if (!si) {
        r->errors.push_back("the signature has " + std::to_string(signers) +
                            " signers; an Authenticode signature has exactly one");
    } else if (!signer) {
        r->errors.push_back("the signature does not carry its signer's certificate");
    } else if (!md) {
        r->errors.push_back("the signer's digest algorithm is unknown to libcrypto");
    } else {
        s.signer = SubjectText(signer);
        // The signed messageDigest must be the digest of the indirect data,
        // or the image digest it carries is not the one that was signed.
        ASN1_OCTET_STRING* signedDigest =
            PKCS7_digest_from_attributes(PKCS7_get_signed_attributes(si));
        unsigned char computed[EVP_MAX_MD_SIZE];
        unsigned int computedSize = 0;
        bool attributeOk =
            signedDigest &&
            EVP_Digest(sd.content, sd.contentSize, computed, &computedSize, md, nullptr) == 1 &&
            (unsigned)signedDigest->length == computedSize &&
            memcmp(signedDigest->data, computed, computedSize) == 0;
        if (!attributeOk) {
            s.signatureValid = 0;
            r->errors.push_back("the signature's signed message digest does not match its "
                                "indirect data: the signature was altered or assembled wrongly");
        } else if (VerifySignerSignature(p7, si, signer, md, sd) != 1) {
            s.signatureValid = 0;
            r->errors.push_back("the signer's signature over the signed attributes does not "
                                "verify with its certificate: the signature was altered");
        } else {
            s.signatureValid = 1;
        }
    }
    PKCS7_free(p7);
    ERR_clear_error(); // nothing else reads libcrypto's error queue
    if (s.digestMatches == 1 && s.signatureValid == 1)
        s.covered = "the file is byte for byte what " +
                    (s.signer.empty() ? std::string("the signer") : s.signer) +
                    " signed; the signer's certificate chain was not judged";
}
