// The payload package behind update.exe: title block at 0x70000, archive at
// 0x70400 (header, entry table of long or short entries, data area).
#pragma once
#include "file_object.h"
#include <stddef.h>
#include <stdint.h>

const uint32_t kPayloadOffset = 0x70000;
const uint32_t kTitleBlockSize = 1024;
const uint32_t kArchiveOffset = 0x70400;
const uint32_t kArchiveHeaderSize = 16;
const uint32_t kMaxEntries = 256;
const uint32_t kLongEntrySize = 128;
const uint32_t kShortEntrySize = 32;
const uint32_t kLongNameSize = 96;
const uint32_t kShortNameSize = 16;
const uint32_t kChunkSize = 1048576;
extern const char kArchiveMagic[12]; // "VELMAR ARC20", no terminator

struct Package {
    FileObject file;
    bool longEntries;
    uint32_t entrySize;   // 128 or 32
    uint32_t count;       // entries, at most 256
    unsigned char* table; // count * entrySize bytes as read; owned
    uint32_t dataStart;   // file offset of the data area
};

// Title block of the file at path into title; false unless all 1024 bytes were
// read. The text is bounded: title[1023] is forced to 0.
bool ReadTitleBlockFrom(const char* path, char (&title)[kTitleBlockSize]);
bool ReadTitleBlock(char (&title)[kTitleBlockSize]); // of the running program

// UPDATE_OK, UPDATE_E_PACKAGE or UPDATE_E_PACKAGE_COUNT. The package must be
// zero-initialised on entry (Package p{} or ClosePackage) and is closed with
// ClosePackage on every path.
uint32_t OpenPackage(Package* package, const char* path);
void ClosePackage(Package* package);

// Entry accessors by index; the name is bounded to its field (96 or 16 bytes).
void GetEntryName(const Package& package, uint32_t index, char (&name)[kLongNameSize + 1]);
uint32_t GetEntryOffset(const Package& package, uint32_t index);
uint32_t GetEntrySize(const Package& package, uint32_t index);
// Seeks the package file to the entry's first byte; false past 2 GiB or on failure.
bool SeekToEntry(Package* package, uint32_t index);
// Index of the first entry named "krn.hvl" in any letter case, or -1.
int FindVersionListEntry(const Package& package);
