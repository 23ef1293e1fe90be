// Version lists: the installed "KRN.hvl" and the package's "krn.hvl" entry.
// 16-byte header ("BHV_V2__" or "BHV_____", reserved, count) and records of
// path and content digest (256 bytes in V2, 64 in V1; V2 in memory).
#pragma once
#include "digest.h"
#include "file_object.h"
#include "package.h"
#include "file_system.h"
#include "result_codes.h"
#include <stdint.h>

const uint32_t kListHeaderSize = 16;
const uint32_t kRecordSize = 256;
const uint32_t kRecordPathSize = 248;
const uint32_t kV1RecordSize = 64;
const uint32_t kV1PathSize = 56;
extern const char kListMagicV2[8]; // "BHV_V2__"
extern const char kListMagicV1[8]; // "BHV_____"

struct VersionRecord {
    char path[kRecordPathSize]; // relative, backslashes; an installed one may lack its NUL
    unsigned char digest[kDigestSize];
};
static_assert(sizeof(VersionRecord) == kRecordSize, "record layout is the file's");

struct InstalledList {
    unsigned char header[kListHeaderSize]; // as read; the count is rewritten on write
    VersionRecord* records;                // owned, count used of capacity
    uint32_t count;
    uint32_t capacity;
};

struct PackageList {
    VersionRecord* records; // owned; null with count 0 when there is no list
    uint32_t count;
};

// Reads "%s\KRN.hvl". UPDATE_OK, or UPDATE_E_FAILED when it is missing, not V2,
// shorter than its header or than its count announces. Zero-initialise first.
uint32_t ReadInstalledList(InstalledList* list, const char* installFolder);
void FreeInstalledList(InstalledList* list);

// Reads the package list from entry index, bounded by the entry's size: a
// count that does not fit the entry, a short read or another magic give an
// empty list. V1 records are converted. False when the list is there by the
// sizes but cannot be read: a failing disk, not a package without a list.
bool ReadPackageList(PackageList* list, Package* package, uint32_t index);
void FreePackageList(PackageList* list);

// First package record whose path's file-name part matches entryName.
const VersionRecord* FindByFileName(const PackageList& list, const char* entryName);
// Index of the first installed record whose path matches, or -1.
int FindByPath(const InstalledList& list, const char* path);
void SetDigest(InstalledList* list, int index, const unsigned char (&digest)[kDigestSize]);
bool AppendRecord(InstalledList* list, const char* path,
                  const unsigned char (&digest)[kDigestSize]);

// Rewrites "%s\KRN.hvl" through a flushed temporary file that replaces the old
// list: UPDATE_OK, or UPDATE_E_FAILED with the old list left whole.
uint32_t WriteInstalledList(const InstalledList& list, const char* installFolder);
// Writes the list to a new file at path (see WriteNewFile), flushed, without
// touching "KRN.hvl": UPDATE_OK or UPDATE_E_FAILED.
uint32_t WriteInstalledListTo(const InstalledList& list, const char* path);
// The prune done in memory before the list is written: drops the records
// whose files are gone, except those named in installed (a null-terminated
// table of what the update is about to put in place).
void DropMissingRecords(InstalledList* list, const char* installFolder,
                        const char* const* installed);
// Drops records whose files are gone; failures are silent and leave the list whole.
void PruneInstalledList(const char* installFolder);

// Name matching: both lowered with LowerName in 260-byte copies, then bytes.
bool NamesMatch(const char* a, const char* b);
// Text after the last backslash or slash (Shift-JIS aware), a drive prefix skipped.
void GetFileNamePart(const char* path, char (&part)[kMaxPath]);
