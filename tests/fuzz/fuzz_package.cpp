// The package reader on any payload (the bytes from 0x70000 on): the table
// and every entry stay within what was read, names are bounded strings, and
// each entry that the reader seeks to gives exactly its bytes.
#include "fuzz_support.h"
#include "package.h"
#include "result_codes.h"
#include <string.h>

static uint32_t Le32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    ScratchFolder folder;
    std::string path = folder.Join("patch.exe");
    FUZZ_CHECK(WritePatchFile(path, data, size));

    char title[kTitleBlockSize];
    bool haveTitle = ReadTitleBlockFrom(path.c_str(), title);
    FUZZ_CHECK(haveTitle == (size >= kTitleBlockSize));
    if (haveTitle) FUZZ_CHECK(strnlen(title, kTitleBlockSize) < kTitleBlockSize);

    Package package{};
    uint32_t result = OpenPackage(&package, path.c_str());
    const size_t header = kArchiveOffset - kPayloadOffset; // payload offset of the archive
    if (size < header + kArchiveHeaderSize) {
        FUZZ_CHECK(result == UPDATE_E_PACKAGE);
        return 0;
    }
    uint32_t count = Le32(data + header + 12);
    if (count > kMaxEntries) {
        FUZZ_CHECK(result == UPDATE_E_PACKAGE_COUNT);
        return 0;
    }
    bool longEntries = memcmp(data + header, kArchiveMagic, 12) == 0;
    size_t tableEnd = header + kArchiveHeaderSize + (size_t)count * (longEntries ? 128 : 32);
    FUZZ_CHECK((result == UPDATE_OK) == (tableEnd <= size));
    if (result != UPDATE_OK) return 0;
    FUZZ_CHECK(package.count == count && package.longEntries == longEntries);
    FUZZ_CHECK(package.dataStart == kPayloadOffset + tableEnd);

    int list = FindVersionListEntry(package);
    FUZZ_CHECK(list >= -1 && list < (int)count);
    for (uint32_t i = 0; i < count; i++) {
        char name[kLongNameSize + 1];
        GetEntryName(package, i, name);
        FUZZ_CHECK(strlen(name) <= (longEntries ? kLongNameSize : kShortNameSize));
        if (list >= 0 && (uint32_t)list > i) FUZZ_CHECK(strcasecmp(name, "krn.hvl") != 0);
        uint64_t start = (uint64_t)package.dataStart - kPayloadOffset + GetEntryOffset(package, i);
        uint32_t length = GetEntrySize(package, i);
        if (!SeekToEntry(&package, i)) continue;
        // What is read from the entry's start is the payload's bytes there.
        unsigned char buffer[64];
        uint32_t want = length < sizeof buffer ? length : (uint32_t)sizeof buffer;
        uint32_t got = package.file.Read(buffer, want);
        uint64_t available = start < size ? size - start : 0;
        FUZZ_CHECK(got == (want < available ? want : available));
        FUZZ_CHECK(got == 0 || memcmp(buffer, data + start, got) == 0);
    }
    ClosePackage(&package);
    return 0;
}
