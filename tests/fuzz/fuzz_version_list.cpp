// Both version lists from the same bytes: as the installed KRN.hvl (read,
// changed, written, read back equal) and as a package's list entry (the
// records read are the stored ones, converted from V1 where needed).
#include "fuzz_support.h"
#include "package.h"
#include "version_list.h"
#include <string.h>

static uint32_t Le32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static void CheckInstalled(const ScratchFolder& folder, const Bytes& bytes) {
    FUZZ_CHECK(WriteBytes(folder.Join("KRN.hvl"), bytes));
    InstalledList list = {};
    if (ReadInstalledList(&list, folder.path.c_str()) != UPDATE_OK) return;
    FUZZ_CHECK(bytes.size() >= kListHeaderSize + (size_t)list.count * kRecordSize);
    FUZZ_CHECK(list.count == Le32(&bytes[12]) && memcmp(bytes.data(), kListMagicV2, 8) == 0);
    for (uint32_t i = 0; i < list.count; i++) {
        char path[kRecordPathSize + 1] = {0};
        memcpy(path, list.records[i].path, kRecordPathSize);
        int found = FindByPath(list, path);
        FUZZ_CHECK(found >= 0 && (uint32_t)found <= i);
    }
    const unsigned char digest[kDigestSize] = {1, 2, 3, 4, 5, 6, 7, 8};
    if (list.count) SetDigest(&list, 0, digest);
    FUZZ_CHECK(AppendRecord(&list, "Fuzz\\new.dat", digest));
    FUZZ_CHECK(WriteInstalledList(list, folder.path.c_str()) == UPDATE_OK);

    Bytes written;
    FUZZ_CHECK(ReadBytes(folder.Join("KRN.hvl"), &written));
    FUZZ_CHECK(written.size() == kListHeaderSize + (size_t)list.count * kRecordSize);
    FUZZ_CHECK(memcmp(written.data(), bytes.data(), 12) == 0); // magic and reserved kept
    FUZZ_CHECK(Le32(&written[12]) == list.count);
    FUZZ_CHECK(memcmp(&written[kListHeaderSize], list.records, (size_t)list.count * kRecordSize) ==
               0);
    // Untouched records are the stored ones, byte for byte.
    for (uint32_t i = 1; i + 1 < list.count; i++)
        FUZZ_CHECK(memcmp(&written[kListHeaderSize + i * kRecordSize],
                          &bytes[kListHeaderSize + i * kRecordSize], kRecordSize) == 0);

    InstalledList again = {};
    FUZZ_CHECK(ReadInstalledList(&again, folder.path.c_str()) == UPDATE_OK);
    FUZZ_CHECK(again.count == list.count &&
               memcmp(again.records, list.records, (size_t)list.count * kRecordSize) == 0);
    FreeInstalledList(&again);
    FreeInstalledList(&list);
}

static void CheckPackageList(const ScratchFolder& folder, const Bytes& bytes) {
    WriterOptions options;
    options.title = "fuzz";
    options.listVersion = 0;
    std::vector<WriterEntry> entries(2);
    entries[0].name = "krn.hvl";
    entries[0].data = bytes;
    entries[1].name = "a.dat";
    entries[1].data = ToBytes("abc");
    std::string path = folder.Join("patch.exe");
    FUZZ_CHECK(WriteBytes(path, BuildSeedPatch(options, entries)));

    Package package{};
    FUZZ_CHECK(OpenPackage(&package, path.c_str()) == UPDATE_OK);
    FUZZ_CHECK(FindVersionListEntry(package) == 0);
    PackageList list = {nullptr, 0};
    ReadPackageList(&list, &package, 0);
    ClosePackage(&package);

    bool v2 = bytes.size() >= 16 && memcmp(bytes.data(), kListMagicV2, 8) == 0;
    bool v1 = bytes.size() >= 16 && memcmp(bytes.data(), kListMagicV1, 8) == 0;
    uint32_t recordSize = v2 ? kRecordSize : kV1RecordSize;
    uint32_t pathSize = v2 ? kRecordPathSize : kV1PathSize;
    uint32_t count = bytes.size() >= 16 ? Le32(&bytes[12]) : 0;
    bool fits = (v1 || v2) && kListHeaderSize + (uint64_t)count * recordSize <= bytes.size();
    FUZZ_CHECK(list.count == (fits ? count : 0));
    for (uint32_t i = 0; i < list.count; i++) {
        const uint8_t* stored = &bytes[kListHeaderSize + (size_t)i * recordSize];
        const VersionRecord& r = list.records[i];
        size_t length = strnlen(r.path, kRecordPathSize);
        FUZZ_CHECK(length < kRecordPathSize); // every install name is a string
        size_t storedLength = strnlen((const char*)stored, pathSize);
        FUZZ_CHECK(length == (storedLength < kRecordPathSize ? storedLength : kRecordPathSize - 1));
        FUZZ_CHECK(memcmp(r.path, stored, length) == 0);
        FUZZ_CHECK(memcmp(r.digest, stored + pathSize, kDigestSize) == 0);
        char part[kMaxPath];
        GetFileNamePart(r.path, part);
        FUZZ_CHECK(strlen(part) <= length);
        const VersionRecord* first = FindByFileName(list, part);
        FUZZ_CHECK(first && first <= &r);
    }
    FreePackageList(&list);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    Bytes bytes(data, data + size);
    ScratchFolder folder;
    CheckInstalled(folder, bytes);
    CheckPackageList(folder, bytes);
    return 0;
}
