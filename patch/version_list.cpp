// Version lists: reading the installed "KRN.hvl" and the package's list,
// matching names, and rewriting and pruning the installed list on disk
// through a flushed temporary file so that a failure leaves the old list whole.
#include "version_list.h"
#include "file_system.h"
#include "replace_file.h"
#include "strbuf.h"
#include "text.h"
#include <stdlib.h>
#include <string.h>

const char kListMagicV2[8] = {'B', 'H', 'V', '_', 'V', '2', '_', '_'};
const char kListMagicV1[8] = {'B', 'H', 'V', '_', '_', '_', '_', '_'};

static uint32_t ReadLe32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static void WriteLe32(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

static uint32_t HeaderCount(const unsigned char* header) {
    return ReadLe32(header + 12);
}

// A package path that fills its whole field is cut at the field's last byte,
// so that every install name taken from it is a string.
static void BoundPaths(VersionRecord* records, uint32_t count) {
    for (uint32_t i = 0; i < count; i++)
        records[i].path[kRecordPathSize - 1] = 0;
}

// True when count records of recordSize bytes behind a header fit in room bytes;
// checked before anything is allocated, so a wild count never allocates.
static bool RecordsFit(uint32_t count, uint32_t recordSize, uint64_t room) {
    return kListHeaderSize + (uint64_t)count * recordSize <= room;
}

uint32_t ReadInstalledList(InstalledList* list, const char* installFolder) {
    char path[kMaxPath];
    if (!FormatText(path, "%s\\KRN.hvl", installFolder)) return UPDATE_E_FAILED;
    FileObject file;
    if (!file.OpenRead(path)) return UPDATE_E_FAILED;
    unsigned char header[kListHeaderSize];
    // A list shorter than its header or its count is refused here, before
    // anything is installed, rather than failing the rewrite at the very end.
    if (file.Read(header, sizeof(header)) != sizeof(header)) return UPDATE_E_FAILED;
    if (memcmp(header, kListMagicV2, sizeof(kListMagicV2)) != 0) return UPDATE_E_FAILED;
    uint32_t count = HeaderCount(header);
    uint32_t size = file.GetSize();
    if (size == kInvalidSize || !RecordsFit(count, kRecordSize, size)) return UPDATE_E_FAILED;
    VersionRecord* records = nullptr;
    if (count) {
        records = (VersionRecord*)calloc(count, sizeof(VersionRecord));
        if (!records) return UPDATE_E_FAILED;
        uint32_t bytes = count * kRecordSize;
        // Records are kept exactly as read, so that the rewrite gives back
        // every record the update did not touch byte for byte.
        if (file.Read(records, bytes) != bytes) {
            free(records);
            return UPDATE_E_FAILED;
        }
    }
    file.Close();
    free(list->records);
    memcpy(list->header, header, sizeof(header));
    list->records = records;
    list->count = count;
    list->capacity = count;
    return UPDATE_OK;
}

void FreeInstalledList(InstalledList* list) {
    free(list->records);
    list->records = nullptr;
    list->count = 0;
    list->capacity = 0;
}

bool ReadPackageList(PackageList* list, Package* package, uint32_t index) {
    list->records = nullptr;
    list->count = 0;
    if (index >= package->count) return true;
    if (!SeekToEntry(package, index)) return false;
    // The list is read within its entry and within the file, so a count that
    // cannot be there reads as no list, without a large allocation first.
    uint64_t start = (uint64_t)package->dataStart + GetEntryOffset(*package, index);
    uint32_t fileSize = package->file.GetSize();
    if (fileSize == kInvalidSize) return false;
    if (start >= fileSize) return true;
    uint64_t room = GetEntrySize(*package, index);
    if (room > fileSize - start) room = fileSize - start;
    unsigned char header[kListHeaderSize];
    // The bytes are there by the sizes: a short read is a failing disk.
    if (room < kListHeaderSize) return true;
    if (package->file.Read(header, sizeof(header)) != sizeof(header)) return false;
    uint32_t count = HeaderCount(header);
    bool v2 = memcmp(header, kListMagicV2, sizeof(kListMagicV2)) == 0;
    bool v1 = memcmp(header, kListMagicV1, sizeof(kListMagicV1)) == 0;
    if (!v2 && !v1) return true;
    uint32_t recordSize = v2 ? kRecordSize : kV1RecordSize;
    if (!RecordsFit(count, recordSize, room) || count == 0) return true;
    uint32_t bytes = count * recordSize;
    unsigned char* block = (unsigned char*)malloc(bytes);
    if (!block) return true;
    if (package->file.Read(block, bytes) != bytes) {
        free(block);
        return false;
    }
    if (v2) {
        list->records = (VersionRecord*)block;
        BoundPaths(list->records, count);
    } else {
        VersionRecord* records = (VersionRecord*)calloc(count, sizeof(VersionRecord));
        if (!records) {
            free(block);
            return true;
        }
        for (uint32_t i = 0; i < count; i++) {
            const unsigned char* v1Record = block + (size_t)i * kV1RecordSize;
            CopyField(records[i].path, (const char*)v1Record, kV1PathSize);
            memcpy(records[i].digest, v1Record + kV1PathSize, kDigestSize);
        }
        free(block);
        list->records = records;
    }
    list->count = count;
    return true;
}

void FreePackageList(PackageList* list) {
    free(list->records);
    list->records = nullptr;
    list->count = 0;
}

// The form names are compared in. A name too long for a path buffer is no
// install name: false, and it matches nothing.
static bool MatchForm(char (&out)[kMaxPath], const char* name) {
    if (!CopyText(out, name)) return false;
    LowerName(out);
    return true;
}

bool NamesMatch(const char* a, const char* b) {
    char la[kMaxPath], lb[kMaxPath];
    return MatchForm(la, a) && MatchForm(lb, b) && strcmp(la, lb) == 0;
}

void GetFileNamePart(const char* path, char (&part)[kMaxPath]) {
    const char* p = path;
    unsigned char first = (unsigned char)p[0];
    if (((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z')) && p[1] == ':') p += 2;
    const char* start = p;
    while (*p) {
        // A double-byte character is one unit: its trail byte may be 0x5C.
        if (IsLeadByte((unsigned char)*p) && p[1]) {
            p += 2;
            continue;
        }
        if (*p == '\\' || *p == '/') start = p + 1;
        p++;
    }
    CopyText(part, start);
}

// The searches below run once per entry over every record: the name looked
// for is brought into match form once, each record's name as it is met.
const VersionRecord* FindByFileName(const PackageList& list, const char* entryName) {
    char wanted[kMaxPath];
    if (!MatchForm(wanted, entryName)) return nullptr;
    for (uint32_t i = 0; i < list.count; i++) {
        char part[kMaxPath];
        GetFileNamePart(list.records[i].path, part);
        if (strcmp(LowerName(part), wanted) == 0) return &list.records[i];
    }
    return nullptr;
}

// Installed paths may fill their field without a NUL: bounded copies, which
// always fit a path buffer.
int FindByPath(const InstalledList& list, const char* path) {
    char wanted[kMaxPath];
    if (!MatchForm(wanted, path)) return -1;
    for (uint32_t i = 0; i < list.count; i++) {
        char recordPath[kMaxPath];
        CopyField(recordPath, list.records[i].path, kRecordPathSize);
        if (strcmp(LowerName(recordPath), wanted) == 0) return (int)i;
    }
    return -1;
}

// The record keeps its own path, letter case included; only the digest changes.
void SetDigest(InstalledList* list, int index, const unsigned char (&digest)[kDigestSize]) {
    if (index < 0 || (uint32_t)index >= list->count) return;
    memcpy(list->records[index].digest, digest, kDigestSize);
}

bool AppendRecord(InstalledList* list, const char* path,
                  const unsigned char (&digest)[kDigestSize]) {
    VersionRecord record;
    memset(&record, 0, sizeof(record));
    if (!CopyText(record.path, path)) return false;
    memcpy(record.digest, digest, kDigestSize);
    if (list->count == list->capacity) {
        uint32_t capacity = list->capacity ? list->capacity * 2 : 16;
        if (capacity <= list->capacity) return false;
        VersionRecord* grown =
            (VersionRecord*)realloc(list->records, (size_t)capacity * sizeof(VersionRecord));
        if (!grown) return false;
        list->records = grown;
        list->capacity = capacity;
    }
    list->records[list->count++] = record;
    return true;
}

// The header to write: as read, with the count of records now held. A list
// that was never read from disk has no header yet: a fresh V2 one. False when
// the list is too large for a 32-bit write.
static bool ListHeader(const InstalledList& list, unsigned char (&header)[kListHeaderSize]) {
    if (list.count > (0xFFFFFFFFu - kListHeaderSize) / kRecordSize) return false;
    memcpy(header, list.header, sizeof(header));
    if (memcmp(header, kListMagicV2, sizeof(kListMagicV2)) != 0) {
        memset(header, 0, sizeof(header));
        memcpy(header, kListMagicV2, sizeof(kListMagicV2));
    }
    WriteLe32(header + 12, list.count);
    return true;
}

uint32_t WriteInstalledList(const InstalledList& list, const char* installFolder) {
    char listPath[kMaxPath], tempPath[kMaxPath];
    if (!FormatText(listPath, "%s\\KRN.hvl", installFolder) ||
        !FormatText(tempPath, "%s\\KRN.hvl.tmp", installFolder))
        return UPDATE_E_FAILED;
    unsigned char header[kListHeaderSize];
    if (!ListHeader(list, header)) return UPDATE_E_FAILED;
    if (!ReplaceFileContents(listPath, tempPath, header, kListHeaderSize, list.records,
                             list.count * kRecordSize))
        return UPDATE_E_FAILED;
    return UPDATE_OK;
}

uint32_t WriteInstalledListTo(const InstalledList& list, const char* path) {
    unsigned char header[kListHeaderSize];
    if (!ListHeader(list, header)) return UPDATE_E_FAILED;
    if (!WriteNewFile(path, header, kListHeaderSize, list.records, list.count * kRecordSize))
        return UPDATE_E_FAILED;
    return UPDATE_OK;
}

void DropMissingRecords(InstalledList* list, const char* installFolder,
                        const char* const* installed) {
    // Decided for every record before any is dropped: a path that does not
    // fit leaves the list as it is, as the prune on disk does.
    uint32_t kept = 0;
    for (uint32_t pass = 0; pass < 2; pass++) {
        for (uint32_t i = 0; i < list->count; i++) {
            char relative[kMaxPath], full[kMaxPath];
            CopyField(relative, list->records[i].path, kRecordPathSize);
            if (!FormatText(full, "%s\\%s", installFolder, relative)) return;
            if (pass == 0) continue;
            bool keep = GetPathAttributes(full) != kInvalidAttributes;
            for (const char* const* name = installed; !keep && *name; name++)
                keep = NamesMatch(relative, *name);
            if (!keep) continue;
            if (kept != i) list->records[kept] = list->records[i];
            kept++;
        }
    }
    list->count = kept;
}

// The list is read and rewritten as the update itself does; only the records
// of missing files go, so the header and every kept record stay byte for byte.
void PruneInstalledList(const char* installFolder) {
    InstalledList list{};
    if (ReadInstalledList(&list, installFolder) != UPDATE_OK) {
        FreeInstalledList(&list);
        return;
    }
    uint32_t before = list.count;
    const char* const nothingComing[] = {nullptr};
    DropMissingRecords(&list, installFolder, nothingComing);
    if (list.count != before) WriteInstalledList(list, installFolder);
    FreeInstalledList(&list);
}
