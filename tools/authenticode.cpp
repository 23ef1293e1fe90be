// The portable half of checking an Authenticode signature: the ranges its
// image digest covers, the WIN_CERTIFICATE header, a small DER walk to the
// signed digest, and the streamed digest of the file.
#include "authenticode.h"

#include "file_object.h"
#include "package.h"
#include "patch_text.h"
#include <string.h>
#include <vector>

// A signature with its certificate chain is a few kilobytes; this bounds a
// damaged size before anything is allocated for it.
const uint32_t kMaxCertificateTable = 16u << 20;

static const unsigned char kOidSignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7,
                                               0x0D, 0x01, 0x07, 0x02};
// SPC_INDIRECT_DATA_OBJID, 1.3.6.1.4.1.311.2.1.4
static const unsigned char kOidIndirectData[] = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                                 0x82, 0x37, 0x02, 0x01, 0x04};
static const unsigned char kOidSha1[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
static const unsigned char kOidSha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

int ImageDigestRanges(const PatchReport& r, HashRange (&ranges)[4]) {
    ranges[0] = {0, r.checksumAt};
    ranges[1] = {(uint64_t)r.checksumAt + 4, r.certEntryAt};
    ranges[2] = {(uint64_t)r.certEntryAt + 8, r.certOffset};
    // Bytes behind the table are covered too: they were not there when the
    // file was signed, so they are a change after signing.
    ranges[3] = {(uint64_t)r.certOffset + r.certSize, r.fileSize};
    return 4;
}

bool ReadWinCertificate(const unsigned char* table, size_t size, size_t* blobAt, size_t* blobSize,
                        std::string* problem) {
    if (size < 8) {
        *problem = "is shorter than a WIN_CERTIFICATE header";
        return false;
    }
    uint32_t length = (uint32_t)table[0] | (uint32_t)table[1] << 8 | (uint32_t)table[2] << 16 |
                      (uint32_t)table[3] << 24;
    unsigned revision = (unsigned)(table[4] | table[5] << 8),
             type = (unsigned)(table[6] | table[7] << 8);
    if (length <= 8 || length > size) {
        *problem = "has a first entry of " + std::to_string(length) + " bytes in a table of " +
                   std::to_string(size) + " bytes (damaged)";
        return false;
    }
    if (type != 2) { // WIN_CERT_TYPE_PKCS_SIGNED_DATA
        *problem = "holds a certificate of type " + std::to_string(type) +
                   ", not an Authenticode signature";
        return false;
    }
    if (revision != 0x0200 && revision != 0x0100) {
        *problem = "has an unknown WIN_CERTIFICATE revision " + std::to_string(revision);
        return false;
    }
    *blobAt = 8;
    *blobSize = length - 8;
    return true;
}

// One DER element: its tag and where its value lies.
struct DerItem {
    unsigned char tag;
    size_t at, end;
};

// The element at `at` within data[0, limit), if it is well-formed DER with
// the tag wanted: a low tag number and a definite length that fits.
static bool DerRead(const unsigned char* data, size_t limit, size_t at, unsigned char tag,
                    DerItem* item) {
    if (at >= limit || limit - at < 2 || data[at] != tag) return false;
    size_t length = data[at + 1], p = at + 2;
    if (length & 0x80) {
        size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 4 || bytes > limit - p) return false; // 0: indefinite, not DER
        length = 0;
        for (size_t i = 0; i < bytes; i++)
            length = length << 8 | data[p++];
    }
    if (length > limit - p) return false;
    item->tag = tag;
    item->at = p;
    item->end = p + length;
    return true;
}

static bool IsOid(const unsigned char* data, const DerItem& oid, const unsigned char* value,
                  size_t size) {
    return oid.end - oid.at == size && memcmp(data + oid.at, value, size) == 0;
}

// "2.16.840.1.101.3.4.2.2", for an algorithm we cannot compute.
static std::string OidText(const unsigned char* p, size_t n) {
    std::string text;
    uint64_t value = 0;
    for (size_t i = 0; i < n; i++) {
        value = value << 7 | (p[i] & 0x7F);
        if (value >> 56) return "an unreadable OID";
        if (p[i] & 0x80) continue;
        if (text.empty())
            text = std::to_string(value < 80 ? value / 40 : 2) + "." +
                   std::to_string(value < 80 ? value % 40 : value - 80);
        else
            text += "." + std::to_string(value);
        value = 0;
    }
    return text.empty() ? "an empty OID" : text;
}

bool ReadSignedDigest(const unsigned char* der, size_t size, SignedDigest* sd,
                      std::string* problem) {
    *sd = SignedDigest();
    DerItem info, type, wrapper, signedData, version, algorithms, content, contentType, inner,
        indirect, data, digestInfo, algorithm, oid, digest;
    auto damaged = [&](const char* where) {
        *problem = std::string("the signature's PKCS#7 data is damaged (") + where + ")";
        return false;
    };
    if (!DerRead(der, size, 0, 0x30, &info) || !DerRead(der, info.end, info.at, 0x06, &type))
        return damaged("no ContentInfo at its start");
    if (!IsOid(der, type, kOidSignedData, sizeof(kOidSignedData))) {
        *problem = "the signature is not PKCS#7 SignedData";
        return false;
    }
    if (!DerRead(der, info.end, type.end, 0xA0, &wrapper) ||
        !DerRead(der, wrapper.end, wrapper.at, 0x30, &signedData) ||
        !DerRead(der, signedData.end, signedData.at, 0x02, &version) ||
        !DerRead(der, signedData.end, version.end, 0x31, &algorithms) ||
        !DerRead(der, signedData.end, algorithms.end, 0x30, &content) ||
        !DerRead(der, content.end, content.at, 0x06, &contentType))
        return damaged("the SignedData's fields");
    if (!IsOid(der, contentType, kOidIndirectData, sizeof(kOidIndirectData))) {
        *problem = "the signature signs something else than a program file (no Authenticode "
                   "indirect data)";
        return false;
    }
    if (!DerRead(der, content.end, contentType.end, 0xA0, &inner) ||
        !DerRead(der, inner.end, inner.at, 0x30, &indirect) ||
        !DerRead(der, indirect.end, indirect.at, 0x30, &data) ||
        !DerRead(der, indirect.end, data.end, 0x30, &digestInfo) ||
        !DerRead(der, digestInfo.end, digestInfo.at, 0x30, &algorithm) ||
        !DerRead(der, algorithm.end, algorithm.at, 0x06, &oid) ||
        !DerRead(der, digestInfo.end, algorithm.end, 0x04, &digest))
        return damaged("the indirect data and its digest");
    sd->content = der + indirect.at;
    sd->contentSize = indirect.end - indirect.at;
    size_t digestSize = digest.end - digest.at;
    if (IsOid(der, oid, kOidSha256, sizeof(kOidSha256))) {
        sd->known = true;
        sd->kind = kHashSha256;
        sd->algorithm = "SHA-256";
    } else if (IsOid(der, oid, kOidSha1, sizeof(kOidSha1))) {
        sd->known = true;
        sd->kind = kHashSha1;
        sd->algorithm = "SHA-1";
    } else {
        sd->algorithm = OidText(der + oid.at, oid.end - oid.at);
    }
    if (digestSize > sizeof(sd->digest) || (sd->known && digestSize != HashSize(sd->kind)))
        return damaged("its digest has the wrong size for its algorithm");
    memcpy(sd->digest, der + digest.at, digestSize);
    sd->digestSize = digestSize;
    return true;
}

// The image digest of the open file, read once from its start in chunks.
static bool DigestImage(FileObject* file, const PatchReport& r, HashKind kind,
                        unsigned char (&digest)[kMaxHashSize], ProgressTally* progress) {
    HashRange ranges[4];
    int count = ImageDigestRanges(r, ranges);
    SecureHash hash;
    if (!HashBegin(&hash, kind)) return false;
    std::vector<unsigned char> chunk(kChunkSize);
    bool ok = file->Seek(0);
    for (uint64_t at = 0; ok && at < r.fileSize;) {
        uint32_t n = r.fileSize - at < kChunkSize ? (uint32_t)(r.fileSize - at) : kChunkSize;
        if (file->Read(chunk.data(), n) != n) {
            ok = false;
            break;
        }
        for (int i = 0; i < count; i++) {
            uint64_t from = ranges[i].start > at ? ranges[i].start : at;
            uint64_t to = ranges[i].end < at + n ? ranges[i].end : at + n;
            if (from < to) HashFeed(&hash, chunk.data() + (from - at), (size_t)(to - from));
        }
        at += n;
        AdvanceProgress(progress, n);
    }
    return HashEnd(&hash, digest) && ok;
}

void CheckSignature(const std::string& path, const char* enginePath, PatchReport* r,
                    ProgressTally* progress) {
    SignatureReport& s = r->signature;
    if (r->certSize > kMaxCertificateTable) {
        r->errors.push_back("the certificate table is " + GroupDigits(r->certSize) +
                            " bytes, far more than a signature needs (damaged?)");
        return;
    }
    FileObject file;
    std::vector<unsigned char> table(r->certSize);
    if (!file.OpenRead(enginePath) || !file.Seek(r->certOffset) ||
        file.Read(table.data(), r->certSize) != r->certSize) {
        r->errors.push_back("the certificate table cannot be read");
        return;
    }
    size_t blobAt = 0, blobSize = 0;
    std::string problem;
    if (!ReadWinCertificate(table.data(), table.size(), &blobAt, &blobSize, &problem)) {
        r->errors.push_back("the certificate table " + problem);
        return;
    }
    s.present = true;
    SignedDigest sd;
    if (!ReadSignedDigest(table.data() + blobAt, blobSize, &sd, &problem)) {
        r->errors.push_back(problem);
        return;
    }
    s.algorithm = sd.algorithm;
    if (!sd.known) {
        r->warnings.push_back("the signature's image digest uses the algorithm " + sd.algorithm +
                              ", which verify cannot compute: the signature was not checked");
        return;
    }
    unsigned char digest[kMaxHashSize];
    if (!DigestImage(&file, *r, sd.kind, digest, progress)) {
        r->errors.push_back("the file cannot be read again for the signature's digest");
        return;
    }
    file.Close();
    s.digestMatches = memcmp(digest, sd.digest, sd.digestSize) == 0 ? 1 : 0;
    if (!s.digestMatches)
        r->errors.push_back("the file was changed after it was signed: its " + sd.algorithm +
                            " image digest is " + HexBytes(digest, sd.digestSize) +
                            ", the signature's is " + HexBytes(sd.digest, sd.digestSize));
    JudgeSignature(path, table.data() + blobAt, blobSize, sd, r);
}
