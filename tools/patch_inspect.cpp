// Inspects a patch through the updater's own package and version-list
// readers, so that what list and verify report is what update.exe will do;
// the checks around them are stricter than update.exe, to catch damage.
#include "patch_inspect.h"

#include "authenticode.h"
#include "file_object.h"
#include "package.h"
#include "patch_build.h"
#include "patch_platform.h"
#include "patch_text.h"
#include "stub_image.h"
#include "version_list.h"
#include <filesystem>
#include <fstream>
#include <string.h>

namespace fs = std::filesystem;

const uint64_t kTwoGiB = 0x80000000ull;
const size_t kFolderRoom = 64;            // an install folder shorter than this is rare
const uint32_t kMaxListBytes = 16u << 20; // far beyond 256 records; bounds a damaged size

static uint32_t Le32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static uint16_t Le16(const unsigned char* p) {
    return (uint16_t)(p[0] | p[1] << 8);
}

// A text field that may fill its bytes without a NUL.
static std::string FieldText(const void* field, size_t size) {
    const char* text = (const char*)field;
    const char* nul = (const char*)memchr(text, 0, size);
    return std::string(text, nul ? (size_t)(nul - text) : size);
}

// A version list's format from its magic: 2 or 1 with its record layout, or 0.
static int ListLayout(const unsigned char* magic, uint32_t* recordSize, uint32_t* pathSize) {
    if (memcmp(magic, kListMagicV2, 8) == 0) {
        *recordSize = kRecordSize;
        *pathSize = kRecordPathSize;
        return 2;
    }
    if (memcmp(magic, kListMagicV1, 8) == 0) {
        *recordSize = kV1RecordSize;
        *pathSize = kV1PathSize;
        return 1;
    }
    return 0;
}

static bool ReadAt(FileObject* file, uint32_t position, void* buffer, uint32_t count) {
    return file->Seek(position) && (count == 0 || file->Read(buffer, count) == count);
}

// "entry 2 (data01000.arc)"
static std::string EntryLabel(uint32_t index, const std::string& name) {
    return "entry " + std::to_string(index) + " (" + SjisToUtf8(name) + ")";
}

static std::string Hex32(uint64_t value) {
    char text[24];
    snprintf(text, sizeof(text), "0x%llX", (unsigned long long)value);
    return text;
}

uint32_t ComputeListSeal(const unsigned char* list, size_t size) {
    unsigned char digest[kDigestSize] = {0};
    static const unsigned char kZero[4] = {0};
    if (size < kListHeaderSize) return 0;
    FeedDigest(digest, list, 8);
    FeedDigest(digest, kZero, 4);
    FeedDigest(digest, list + 12, size - 12);
    return Le32(digest);
}

bool ReadImageFacts(const unsigned char* data, size_t size, ImageFacts* facts) {
    *facts = ImageFacts();
    auto inside = [&](uint64_t at, uint64_t n) { return at + n <= size; };
    if (!inside(0, 64) || data[0] != 'M' || data[1] != 'Z') return false;
    uint32_t pe = Le32(data + 0x3C);
    if (!inside(pe, 26) || memcmp(data + pe, "PE\0\0", 4) != 0) return false;
    facts->machine = Le16(data + pe + 4);
    uint16_t sections = Le16(data + pe + 6), optionalSize = Le16(data + pe + 20);
    if (optionalSize >= 68) facts->checksumAt = pe + 24 + 64;
    // The data directories start at 96 (PE32) or 112 (PE32+) into the optional
    // header; the certificate table is the fifth.
    uint32_t directories = Le16(data + pe + 24) == 0x20B ? 112 : 96;
    uint64_t security = (uint64_t)pe + 24 + directories + 4 * 8;
    if (optionalSize >= directories + 5 * 8 && inside(security, 8)) {
        facts->certEntryAt = (uint32_t)security;
        facts->certOffset = Le32(data + security);
        facts->certSize = Le32(data + security + 4);
    }
    uint64_t table = (uint64_t)pe + 24 + optionalSize;
    for (uint16_t s = 0; s < sections && inside(table + s * 40ull, 40); s++) {
        const unsigned char* section = data + table + s * 40ull;
        uint64_t end = (uint64_t)Le32(section + 20) + Le32(section + 16);
        if (Le32(section + 16) && end > facts->imageEnd) facts->imageEnd = end;
    }
    return true;
}

// The program image in front of the payload: its machine, where its sections
// end, and the certificate table a signature appends.
static void InspectImage(FileObject* file, PatchReport* r, bool allowTestTwin) {
    std::vector<unsigned char> head(
        (size_t)(r->fileSize < kPayloadOffset ? r->fileSize : kPayloadOffset));
    ImageFacts facts;
    if (head.empty() || !ReadAt(file, 0, head.data(), (uint32_t)head.size()) ||
        !ReadImageFacts(head.data(), head.size(), &facts)) {
        r->errors.push_back("this is not a patch: the file does not start with a Windows "
                            "program image");
        r->notPatch = true;
        return;
    }
    r->machine = facts.machine;
    r->imageEnd = facts.imageEnd;
    r->certOffset = facts.certOffset;
    r->certSize = facts.certSize;
    r->checksumAt = facts.checksumAt;
    r->certEntryAt = facts.certEntryAt;
    bool identity = HasUpdateIdentity(head.data(), head.size());
    if (r->fileSize <= kPayloadOffset) {
        r->errors.push_back(identity ? "this is the bare update.exe, not a patch: nothing "
                                       "follows the program at 0x70000"
                                     : "this is not a patch: a Windows program with nothing "
                                       "at 0x70000");
        r->notPatch = true;
        return;
    }
    if (!identity)
        r->errors.push_back("the program in front of the payload is not update.exe (its version "
                            "resource does not name update.exe): players would run something "
                            "else");
    else if (facts.machine == kMachineAmd64)
        (allowTestTwin ? r->warnings : r->errors)
            .push_back("built on the test twin: the program in front of the payload is the "
                       "64-bit test twin of update.exe, which players cannot run; build on "
                       "build/win32/update/update.exe");
    if (r->imageEnd > kPayloadOffset)
        r->errors.push_back("the program image reaches " + Hex32(r->imageEnd) +
                            ", into the payload at 0x70000: the title block overwrote part of it");
}

static void InspectTitle(FileObject* file, PatchReport* r) {
    unsigned char block[kTitleBlockSize];
    if (r->fileSize < kPayloadOffset + kTitleBlockSize ||
        !ReadAt(file, kPayloadOffset, block, sizeof(block))) {
        r->errors.push_back("the file ends before the 1024-byte title block at 0x70000 is "
                            "complete: update.exe stops at start-up");
        return;
    }
    const unsigned char* nul = (const unsigned char*)memchr(block, 0, sizeof(block));
    if (!nul) {
        r->errors.push_back("the title block has no NUL byte: the window title would be cut "
                            "at 1023 bytes, so the block is probably damaged");
        nul = block + sizeof(block) - 1;
    }
    r->title.assign((const char*)block, (size_t)(nul - block));
    if (r->title.empty())
        r->warnings.push_back("the title is empty: windows and messages get no caption");
    for (const unsigned char* p = nul; p < block + sizeof(block); p++)
        if (*p) {
            r->errors.push_back("the title block holds bytes after its text's end (damaged?)");
            break;
        }
}

// Entry names straight from the table, to see a name that fills its field.
static void InspectTable(const Package& package, PatchReport* r) {
    uint32_t nameField = package.longEntries ? kLongNameSize : kShortNameSize;
    for (uint32_t i = 0; i < package.count; i++) {
        const unsigned char* raw = package.table + (size_t)i * package.entrySize;
        InspectedEntry entry;
        char name[kLongNameSize + 1];
        GetEntryName(package, i, name);
        entry.name = name;
        entry.offset = GetEntryOffset(package, i);
        entry.size = GetEntrySize(package, i);
        std::string label = EntryLabel(i, entry.name);
        if (!memchr(raw, 0, nameField))
            r->errors.push_back(label + ": its name fills its " + std::to_string(nameField) +
                                "-byte field without a NUL");
        else if (entry.name.empty())
            r->errors.push_back("entry " + std::to_string(i) + " has an empty name");
        if (package.longEntries)
            for (uint32_t b = kLongNameSize + 8; b < kLongEntrySize; b++)
                if (raw[b]) {
                    r->warnings.push_back(label + ": its reserved bytes are not zero");
                    break;
                }
        uint64_t start = (uint64_t)package.dataStart + entry.offset;
        uint64_t end = start + entry.size;
        if (end > r->fileSize)
            r->errors.push_back(label + ": its " + GroupDigits(entry.size) + " bytes at " +
                                Hex32(start) + " reach past the end of the file (" +
                                GroupDigits(r->fileSize) + " bytes)");
        else if (start >= kTwoGiB)
            r->errors.push_back(label + ": its bytes start at or beyond 2 GiB, where update.exe "
                                        "cannot seek");
        entry.readable = end <= r->fileSize && start < kTwoGiB;
        if (end > r->payloadEnd) r->payloadEnd = end;
        r->entries.push_back(entry);
    }
}

static bool DigestEntry(Package* package, uint32_t index, uint32_t size,
                        unsigned char (&digest)[kDigestSize], ProgressTally* progress) {
    memset(digest, 0, sizeof(digest));
    if (!SeekToEntry(package, index)) return false;
    std::vector<unsigned char> chunk(size < kChunkSize ? size : kChunkSize);
    for (uint32_t done = 0; done < size;) {
        uint32_t n = size - done < kChunkSize ? size - done : kChunkSize;
        if (package->file.Read(chunk.data(), n) != n) return false;
        FeedDigest(digest, chunk.data(), n);
        done += n;
        AdvanceProgress(progress, n);
    }
    return true;
}

// The list as stored, checked field by field; update.exe's own reading of it
// follows in InspectPatch.
static void InspectListBytes(Package* package, PatchReport* r) {
    InspectedEntry& entry = r->entries[(size_t)r->listIndex];
    std::string label = "the version list (" + EntryLabel((uint32_t)r->listIndex, entry.name) + ")";
    if (!entry.readable) return;
    uint32_t size = entry.size < kMaxListBytes ? entry.size : kMaxListBytes;
    std::vector<unsigned char> bytes(size);
    if (!SeekToEntry(package, (uint32_t)r->listIndex) ||
        (size && package->file.Read(bytes.data(), size) != size)) {
        r->errors.push_back(label + ": cannot be read");
        return;
    }
    if (size < kListHeaderSize) {
        r->errors.push_back(label + ": " + std::to_string(size) +
                            " bytes, shorter than its 16-byte header; update.exe would install "
                            "every entry unverified");
        return;
    }
    uint32_t recordSize = 0, pathSize = 0;
    r->listVersion = ListLayout(bytes.data(), &recordSize, &pathSize);
    if (!r->listVersion) {
        r->errors.push_back(label + ": its magic is neither BHV_V2__ nor BHV_____; update.exe "
                                    "would install every entry unverified");
        return;
    }
    uint32_t count = Le32(&bytes[12]);
    uint64_t needed = kListHeaderSize + (uint64_t)count * recordSize;
    // Only the first 16 MiB were read: the records must lie within them.
    if (needed > size && needed <= entry.size) {
        r->errors.push_back(label + ": announces " + std::to_string(count) + " records (" +
                            GroupDigits(needed) +
                            " bytes), far more than 256 entries need; "
                            "the list is probably damaged");
        return;
    }
    if (needed > entry.size) {
        r->errors.push_back(label + ": announces " + std::to_string(count) + " records (" +
                            GroupDigits(needed) + " bytes) but holds " + GroupDigits(entry.size) +
                            " bytes; update.exe would install every entry unverified");
        return;
    }
    if (needed < entry.size)
        r->errors.push_back(label + ": " + GroupDigits(entry.size - needed) +
                            " bytes follow its last record (damaged?)");
    uint32_t reserved = Le32(&bytes[8]);
    if (reserved == 0)
        r->warnings.push_back(label + ": carries no seal (not built by this tool), so a changed "
                                      "byte in a path cannot be detected");
    else if (reserved != ComputeListSeal(bytes.data(), (size_t)needed))
        r->errors.push_back(label + ": its seal does not match its bytes: the list was changed "
                                    "after the patch was built");
    else
        r->listSealed = true;
    for (uint32_t k = 0; k < count; k++) {
        const unsigned char* record = &bytes[kListHeaderSize + (size_t)k * recordSize];
        const unsigned char* nul = (const unsigned char*)memchr(record, 0, pathSize);
        std::string which = label + ", record " + std::to_string(k);
        if (!nul) {
            r->errors.push_back(which + ": its path fills its field without a NUL");
            continue;
        }
        if (nul == record) r->errors.push_back(which + ": its path is empty");
        for (const unsigned char* p = nul; p < record + pathSize; p++)
            if (*p) {
                r->errors.push_back(which + ": bytes after its path's end are not zero (damaged?)");
                break;
            }
    }
}

// What update.exe makes of each entry: its install name, expected digest,
// and whether its bytes give that digest.
static void InspectInstallation(Package* package, PatchReport* r, ProgressTally* progress) {
    PackageList list = {nullptr, 0};
    if (r->listIndex >= 0) ReadPackageList(&list, package, (uint32_t)r->listIndex);
    for (uint32_t k = 0; k < list.count; k++) {
        ListedPath listed;
        listed.path = FieldText(list.records[k].path, kRecordPathSize);
        memcpy(listed.digest, list.records[k].digest, kDigestSize);
        r->records.push_back(listed);
    }
    std::vector<bool> recordUsed(list.count, false);
    for (uint32_t i = 0; i < r->entries.size(); i++) {
        InspectedEntry& entry = r->entries[i];
        std::string label = EntryLabel(i, entry.name);
        if (entry.readable && !DigestEntry(package, i, entry.size, entry.digest, progress)) {
            r->errors.push_back(label + ": its bytes cannot be read");
            entry.readable = false;
        }
        const VersionRecord* record = FindByFileName(list, entry.name.c_str());
        if ((int)i == r->listIndex) {
            entry.isList = true;
            entry.installName = record ? FieldText(record->path, kRecordPathSize) : entry.name;
            if (record && !NamesMatch(entry.installName.c_str(), "krn.hvl"))
                r->errors.push_back("the version list names " + SjisToUtf8(entry.installName) +
                                    ": update.exe would take the list itself for that file "
                                    "and stop on its digest");
            if (record) recordUsed[(size_t)(record - list.records)] = true;
            continue;
        }
        if (record) {
            entry.installName = FieldText(record->path, kRecordPathSize);
            entry.listed = true;
            memcpy(entry.expected, record->digest, kDigestSize);
            recordUsed[(size_t)(record - list.records)] = true;
        } else {
            entry.installName = entry.name;
        }
        if (NamesMatch(entry.installName.c_str(), "krn.hvl")) {
            r->errors.push_back(label + ": would be taken for a second version list and never "
                                        "installed");
            continue;
        }
        if (NamesMatch(entry.installName.c_str(), "uninst.lst"))
            r->errors.push_back(label + ": would replace the player's uninstall list");
        // update.exe composes "<folder>\<name>.tmp" in a 260-byte buffer; a
        // record path (at most 247 bytes) always leaves a few bytes.
        size_t used = entry.installName.size() + 1 + 4;
        if (used < kMaxPath - 1 && kMaxPath - 1 - used < kFolderRoom)
            r->warnings.push_back(label + ": its install path leaves room for an install " +
                                  "folder of only " + std::to_string(kMaxPath - 1 - used) +
                                  " bytes");
        if (!entry.listed)
            r->errors.push_back(label + ": the version list has no record for it; update.exe "
                                        "would install it unverified at the top of the install "
                                        "folder");
        if (entry.listed && entry.readable && memcmp(entry.digest, entry.expected, kDigestSize))
            r->errors.push_back(
                label + ": its bytes digest to " + HexBytes(entry.digest, kDigestSize) +
                " but the version list expects " + HexBytes(entry.expected, kDigestSize) +
                "; update.exe would stop with a damaged-package message");
    }
    std::vector<std::string> names, labels;
    for (uint32_t i = 0; i < r->entries.size(); i++) {
        names.push_back(r->entries[i].installName);
        labels.push_back(EntryLabel(i, r->entries[i].name));
    }
    size_t before = r->errors.size();
    CheckInstallNameSet(names, labels, &r->errors);
    for (size_t k = before; k < r->errors.size(); k++)
        r->errors[k] += "; update.exe refuses the package";
    for (uint32_t k = 0; k < list.count; k++)
        if (!recordUsed[k])
            r->warnings.push_back("version list record " + std::to_string(k) + " (" +
                                  SjisToUtf8(r->records[k].path) + ") names no entry");
    FreePackageList(&list);
}

static void InspectTail(PatchReport* r) {
    if (r->certSize) {
        if (r->certOffset < r->payloadEnd)
            r->errors.push_back("the certificate table at " + Hex32(r->certOffset) +
                                " lies inside the payload: the patch was signed before its "
                                "payload was appended, so the signature is broken; sign the "
                                "finished patch");
        else if ((uint64_t)r->certOffset + r->certSize > r->fileSize)
            r->errors.push_back("the certificate table runs " +
                                GroupDigits((uint64_t)r->certOffset + r->certSize - r->fileSize) +
                                " bytes past the end of the file: the signed patch was cut "
                                "short (an incomplete download or copy?)");
        else if ((uint64_t)r->certOffset + r->certSize != r->fileSize)
            r->warnings.push_back("bytes follow the certificate table; the signature will not "
                                  "verify");
    } else if (r->haveArchive && r->fileSize > r->payloadEnd) {
        r->warnings.push_back(GroupDigits(r->fileSize - r->payloadEnd) +
                              " bytes follow the last entry; update.exe ignores them");
    }
}

// A certificate table wholly behind the payload and inside the file: the
// only place where a signature can still match the file.
static bool SignatureInPlace(const PatchReport& r) {
    return r.certSize && r.certOffset >= r.payloadEnd &&
           (uint64_t)r.certOffset + r.certSize <= r.fileSize;
}

bool InspectPatch(const std::string& path, PatchReport* r, bool allowTestTwin,
                  ProgressFn progressFn, void* progressContext) {
    *r = PatchReport();
    std::error_code ec;
    r->fileSize = (uint64_t)fs::file_size(fs::u8path(path), ec);
    if (ec) {
        r->errors.push_back("cannot read " + path + ": " + ec.message());
        return false;
    }
    EngineFilePath engine;
    std::string error;
    if (!engine.Set(path, &error)) {
        r->errors.push_back(error);
        return false;
    }
    FileObject file;
    if (!file.OpenRead(engine.narrow.c_str())) {
        r->errors.push_back("cannot open " + path);
        return false;
    }
    if (r->fileSize >= kTwoGiB) {
        r->errors.push_back("the patch is " + GroupDigits(r->fileSize) +
                            " bytes; update.exe reads only below 2 GiB");
        if (r->fileSize > 0xFFFFFFFFull) return true; // sizes no longer fit 32 bits
    }
    InspectImage(&file, r, allowTestTwin);
    if (r->notPatch) return true; // one plain verdict rather than a list of damage
    InspectTitle(&file, r);
    if (r->fileSize < kArchiveOffset + kArchiveHeaderSize) {
        r->errors.push_back("the file is " + GroupDigits(r->fileSize) +
                            " bytes and ends before the archive header at 0x70400 is complete; "
                            "update.exe reports a damaged package");
        return true;
    }
    unsigned char header[kArchiveHeaderSize];
    if (!ReadAt(&file, kArchiveOffset, header, sizeof(header))) {
        r->errors.push_back("the archive header cannot be read");
        return true;
    }
    file.Close();
    r->magic.assign((const char*)header, 12);
    r->count = Le32(header + 12);
    if (r->count > kMaxEntries) {
        r->errors.push_back("the archive announces " + GroupDigits(r->count) +
                            " entries; update.exe accepts at most 256");
        return true;
    }
    Package package{};
    uint32_t opened = OpenPackage(&package, engine.narrow.c_str());
    if (opened != UPDATE_OK) {
        r->errors.push_back("the entry table (" + std::to_string(r->count) +
                            " entries) runs past the end of the file; update.exe reports a "
                            "damaged package");
        ClosePackage(&package);
        return true;
    }
    r->haveArchive = true;
    r->longEntries = package.longEntries;
    r->dataStart = package.dataStart;
    if (!package.longEntries)
        r->warnings.push_back("the magic is not \"VELMAR ARC20\": update.exe reads the table as "
                              "32-byte short entries");
    InspectTable(package, r);
    ProgressTally progress;
    progress.report = progressFn;
    progress.context = progressContext;
    for (const InspectedEntry& entry : r->entries)
        if (entry.readable) progress.total += entry.size;
    if (SignatureInPlace(*r)) progress.total += r->fileSize;
    r->listIndex = FindVersionListEntry(package);
    if (r->listIndex < 0) {
        r->errors.push_back("no entry is named KRN.hvl: update.exe would install every entry "
                            "unverified, under its own name at the top of the install folder");
    } else {
        InspectListBytes(&package, r);
    }
    InspectInstallation(&package, r, &progress);
    ClosePackage(&package);
    InspectTail(r);
    if (SignatureInPlace(*r)) CheckSignature(path, engine.narrow.c_str(), r, &progress);
    return true;
}

static const char* MachineName(uint16_t machine) {
    switch (machine) {
    case 0x14C:
        return "32-bit x86 program";
    case 0x8664:
        return "64-bit x86-64 program (a test twin, not the shipping stub)";
    case 0:
        return "no program image";
    default:
        return "program for another machine";
    }
}

void PrintPatchListing(const PatchReport& r, FILE* out) {
    fprintf(out, "size:      %s bytes\n", GroupDigits(r.fileSize).c_str());
    if (r.machine)
        fprintf(out, "stub:      %s, image ends at %s\n", MachineName(r.machine),
                Hex32(r.imageEnd).c_str());
    else
        fprintf(out, "stub:      no program image\n");
    fprintf(out, "title:     %s\n", SjisToUtf8(r.title).c_str());
    if (r.haveArchive) {
        fprintf(out, "archive:   magic \"%s\", %s entries, %u entries, data area at %s\n",
                EscapedBytes(r.magic).c_str(),
                r.longEntries ? "long (128-byte)" : "short (32-byte)", r.count,
                Hex32(r.dataStart).c_str());
        if (r.listIndex >= 0)
            fprintf(out, "list:      entry %d, %s, %u records%s\n", r.listIndex,
                    r.listVersion == 2   ? "V2"
                    : r.listVersion == 1 ? "V1"
                                         : "unreadable",
                    (unsigned)r.records.size(), r.listSealed ? ", sealed" : "");
        else
            fprintf(out, "list:      none\n");
    }
    if (r.certSize)
        fprintf(out, "signature: certificate table of %s bytes at %s (payload ends at %s)\n",
                GroupDigits(r.certSize).c_str(), Hex32(r.certOffset).c_str(),
                Hex32(r.payloadEnd).c_str());
    else
        fprintf(out, "signature: none\n");
    const SignatureReport& s = r.signature;
    if (s.present)
        fprintf(out, "           %s image digest %s%s%s\n", s.algorithm.c_str(),
                s.digestMatches == 1   ? "matches"
                : s.digestMatches == 0 ? "DOES NOT MATCH"
                                       : "not checked",
                s.signer.empty() ? "" : ", signer ", s.signer.c_str());
    if (!r.entries.empty())
        fprintf(out, "\n  #  %12s  %-16s  %-8s  %s\n", "size", "digest", "bytes",
                "entry -> install path");
    for (size_t i = 0; i < r.entries.size(); i++) {
        const InspectedEntry& e = r.entries[i];
        const char* state = !e.readable                                      ? "MISSING"
                            : e.isList                                       ? "list"
                            : !e.listed                                      ? "unlisted"
                            : memcmp(e.digest, e.expected, kDigestSize) == 0 ? "match"
                                                                             : "MISMATCH";
        fprintf(out, "%3u  %12s  %-16s  %-8s  %s", (unsigned)i, GroupDigits(e.size).c_str(),
                e.readable ? HexBytes(e.digest, kDigestSize).c_str() : "-", state,
                SjisToUtf8(e.name).c_str());
        if (e.isList)
            fprintf(out, " (version list; update.exe rewrites the installed one)\n");
        else
            fprintf(out, " -> %s\n", SjisToUtf8(e.installName).c_str());
    }
}

bool PrintVerdict(const PatchReport& r, FILE* out) {
    for (const std::string& w : r.warnings)
        fprintf(out, "warning: %s\n", w.c_str());
    for (const std::string& e : r.errors)
        fprintf(out, "error: %s\n", e.c_str());
    if (r.errors.empty()) {
        fprintf(out, "OK: %u entries, every listed digest matches\n", (unsigned)r.entries.size());
        const SignatureReport& s = r.signature;
        if (s.digestMatches == 1)
            fprintf(out, "signature: %s image digest matches; %s\n", s.algorithm.c_str(),
                    s.covered.c_str());
    } else
        fprintf(out, "FAILED: %u error(s)\n", (unsigned)r.errors.size());
    return r.errors.empty();
}

bool ReadVersionListFile(const std::string& path, VersionListFile* list) {
    *list = VersionListFile();
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) {
        list->problems.push_back("cannot open " + path);
        return false;
    }
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (bytes.size() < kListHeaderSize) {
        list->problems.push_back(path + " is " + std::to_string(bytes.size()) +
                                 " bytes, shorter than a version list header");
        return false;
    }
    list->magic.assign((const char*)bytes.data(), 8);
    list->reserved = Le32(&bytes[8]);
    list->count = Le32(&bytes[12]);
    uint32_t recordSize = 0, pathSize = 0;
    if (!ListLayout(bytes.data(), &recordSize, &pathSize)) {
        list->problems.push_back("the magic is neither BHV_V2__ nor BHV_____");
        return false;
    }
    uint64_t available = (bytes.size() - kListHeaderSize) / recordSize;
    if (available < list->count)
        list->problems.push_back("the header announces " + std::to_string(list->count) +
                                 " records but the file holds " + std::to_string(available));
    for (uint64_t k = 0; k < available && k < list->count; k++) {
        const unsigned char* record = &bytes[kListHeaderSize + (size_t)k * recordSize];
        ListedPath listed;
        listed.path = FieldText(record, pathSize);
        memcpy(listed.digest, record + pathSize, kDigestSize);
        list->records.push_back(listed);
    }
    return list->problems.empty();
}

void PrintVersionListFile(const VersionListFile& list, FILE* out) {
    fprintf(out, "magic %s, reserved 0x%08X, %u records\n", EscapedBytes(list.magic).c_str(),
            (unsigned)list.reserved, (unsigned)list.count);
    for (const ListedPath& record : list.records)
        fprintf(out, "  %s  %s\n", HexBytes(record.digest, kDigestSize).c_str(),
                SjisToUtf8(record.path).c_str());
    for (const std::string& p : list.problems)
        fprintf(out, "error: %s\n", p.c_str());
}
