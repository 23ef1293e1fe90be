// Reading the payload package behind update.exe: the title block and the
// archive's header and entry table; entries are read by the caller in chunks.
#include "package.h"
#include "file_system.h"
#include "result_codes.h"
#include "strbuf.h"
#include "text.h"
#include <stdlib.h>
#include <string.h>

const char kArchiveMagic[12] = {'V', 'E', 'L', 'M', 'A', 'R', ' ', 'A', 'R', 'C', '2', '0'};

static uint32_t ReadLe32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

bool ReadTitleBlockFrom(const char* path, char (&title)[kTitleBlockSize]) {
    FileObject file;
    bool ok = false;
    if (file.OpenRead(path)) {
        // A file of 0x70000 bytes or a little more gets as far as a short read.
        if (file.GetSize() >= kPayloadOffset) {
            file.Seek(kPayloadOffset);
            ok = file.Read(title, kTitleBlockSize) == kTitleBlockSize;
        }
        file.Close();
    }
    // The caption must end inside the buffer even when the block has no NUL.
    title[kTitleBlockSize - 1] = 0;
    return ok;
}

bool ReadTitleBlock(char (&title)[kTitleBlockSize]) {
    char path[kMaxPath];
    if (!GetOwnModulePath(path, sizeof(path))) {
        title[kTitleBlockSize - 1] = 0;
        return false;
    }
    return ReadTitleBlockFrom(path, title);
}

void ClosePackage(Package* package) {
    package->file.Close();
    free(package->table);
    package->table = nullptr;
    package->longEntries = false;
    package->entrySize = 0;
    package->count = 0;
    package->dataStart = 0;
}

uint32_t OpenPackage(Package* package, const char* path) {
    // A failed open is caught below: the size of a closed object reads as
    // 0xFFFFFFFF and the header read then comes back empty.
    package->file.OpenRead(path);
    if (package->file.GetSize() < kArchiveOffset) {
        ClosePackage(package);
        return UPDATE_E_PACKAGE;
    }
    unsigned char header[kArchiveHeaderSize];
    // A failed seek would read the header from the program's own bytes.
    if (!package->file.Seek(kArchiveOffset) ||
        package->file.Read(header, sizeof(header)) != sizeof(header)) {
        ClosePackage(package);
        return UPDATE_E_PACKAGE;
    }
    uint32_t count = ReadLe32(header + 12);
    if (count > kMaxEntries) {
        ClosePackage(package);
        return UPDATE_E_PACKAGE_COUNT;
    }
    // The magic only chooses the entry layout; nothing else is refused.
    bool longEntries = memcmp(header, kArchiveMagic, sizeof(kArchiveMagic)) == 0;
    uint32_t entrySize = longEntries ? kLongEntrySize : kShortEntrySize;
    uint32_t tableSize = count * entrySize; // at most 32 KiB
    unsigned char* table = (unsigned char*)malloc(tableSize ? tableSize : 1);
    if (!table || package->file.Read(table, tableSize) != tableSize) {
        free(table);
        ClosePackage(package);
        return UPDATE_E_PACKAGE;
    }
    free(package->table);
    package->table = table;
    package->longEntries = longEntries;
    package->entrySize = entrySize;
    package->count = count;
    package->dataStart = kArchiveOffset + kArchiveHeaderSize + tableSize;
    return UPDATE_OK;
}

static const unsigned char* EntryAt(const Package& package, uint32_t index) {
    if (!package.table || index >= package.count) return nullptr;
    return package.table + (size_t)index * package.entrySize;
}

void GetEntryName(const Package& package, uint32_t index, char (&name)[kLongNameSize + 1]) {
    const unsigned char* entry = EntryAt(package, index);
    if (!entry) {
        name[0] = 0;
        return;
    }
    CopyField(name, (const char*)entry, package.longEntries ? kLongNameSize : kShortNameSize);
}

uint32_t GetEntryOffset(const Package& package, uint32_t index) {
    const unsigned char* entry = EntryAt(package, index);
    if (!entry) return 0;
    return ReadLe32(entry + (package.longEntries ? kLongNameSize : kShortNameSize));
}

uint32_t GetEntrySize(const Package& package, uint32_t index) {
    const unsigned char* entry = EntryAt(package, index);
    if (!entry) return 0;
    return ReadLe32(entry + (package.longEntries ? kLongNameSize : kShortNameSize) + 4);
}

bool SeekToEntry(Package* package, uint32_t index) {
    if (!EntryAt(*package, index)) return false;
    // Computed wide: a position that wraps 32 bits or lies at 2 GiB or beyond
    // cannot be reached, so the entry is unreadable.
    uint64_t position = (uint64_t)package->dataStart + GetEntryOffset(*package, index);
    if (position >= 0x80000000u) return false;
    return package->file.Seek((uint32_t)position);
}

int FindVersionListEntry(const Package& package) {
    for (uint32_t i = 0; i < package.count; i++) {
        char name[kLongNameSize + 1];
        GetEntryName(package, i, name);
        if (strcmp(LowerName(name), "krn.hvl") == 0) return (int)i;
    }
    return -1;
}
