// Reading, merging and rewriting the uninstall list "uninst.lst".
#include "uninstall_list.h"
#include "file_object.h"
#include "file_system.h"
#include "replace_file.h"
#include "strbuf.h"
#include "text.h"
#include <stdlib.h>
#include <string.h>

static const char kUninstallName[] = "uninst.lst";

// FNV-1a over the lowered bytes.
static uint32_t HashText(const char* s) {
    uint32_t h = 2166136261u;
    for (const unsigned char* p = (const unsigned char*)s; *p; p++)
        h = (h ^ *p) * 16777619u;
    return h;
}

// Keeps at most one entry per bucket on average; false when memory runs out.
static bool GrowBuckets(UninstallGroup* group) {
    uint32_t n = group->bucketCount ? group->bucketCount * 2 : 64;
    if (n < group->bucketCount) return false;
    UninstallEntry** buckets = (UninstallEntry**)calloc(n, sizeof(UninstallEntry*));
    if (!buckets) return false;
    for (UninstallEntry* e = group->first; e; e = e->next) {
        UninstallEntry** slot = &buckets[e->hash & (n - 1)];
        e->hashNext = *slot;
        *slot = e;
    }
    free(group->buckets);
    group->buckets = buckets;
    group->bucketCount = n;
    return true;
}

bool AddUninstallEntry(UninstallGroup* group, const char* text) {
    uint32_t hash = HashText(text);
    if (group->buckets) {
        for (UninstallEntry* e = group->buckets[hash & (group->bucketCount - 1)]; e;
             e = e->hashNext)
            if (e->hash == hash && strcmp(e->text, text) == 0) return true; // first one wins
    }
    if (group->count >= group->bucketCount && !GrowBuckets(group)) return false;

    size_t size = strlen(text) + 1;
    UninstallEntry* entry = (UninstallEntry*)malloc(sizeof(UninstallEntry));
    char* copy = (char*)malloc(size);
    if (!entry || !copy) {
        free(entry);
        free(copy);
        return false;
    }
    memcpy(copy, text, size);
    entry->text = copy;
    entry->next = nullptr;
    entry->hash = hash;
    UninstallEntry** slot = &group->buckets[hash & (group->bucketCount - 1)];
    entry->hashNext = *slot;
    *slot = entry;
    if (group->last)
        group->last->next = entry;
    else
        group->first = entry;
    group->last = entry;
    group->count++;
    return true;
}

void FreeUninstallGroup(UninstallGroup* group) {
    UninstallEntry* e = group->first;
    while (e) {
        UninstallEntry* next = e->next;
        free(e->text);
        free(e);
        e = next;
    }
    free(group->buckets);
    memset(group, 0, sizeof *group);
}

// CR and LF never occur as the trail byte of a Shift-JIS character, so a plain
// byte scan finds line ends correctly, and one pass looks for both at once.
static const char* LineEnd(const char* p) {
    while (*p && *p != '\r' && *p != '\n')
        p++;
    return p;
}

bool ParseUninstallList(UninstallGroup* ordinary, UninstallGroup* dollar, const char* text) {
    char line[kUninstallLineSize];
    const char* p = text;
    while (*p) {
        while (*p == ' ' || *p == '\t')
            p++;
        const char* end = LineEnd(p);
        size_t length = (size_t)(end - p);
        if (length > 0) {
            // Cutting or skipping a long line would drop it from the rewritten
            // list; refusing keeps the old list whole.
            if (length >= sizeof line) return false;
            memcpy(line, p, length);
            line[length] = 0;
            LowerAscii(line);
            if (!AddUninstallEntry(line[0] == '$' ? dollar : ordinary, line)) return false;
        }
        p = end;
        while (*p == '\r' || *p == '\n')
            p++;
    }
    return true;
}

// Formats every line into one buffer, releasing the entries as it goes.
// Returns the buffer (used bytes and a NUL) or null when memory runs out.
static char* FormatGroups(UninstallGroup* groups, uint32_t groupCount, size_t* used) {
    size_t capacity = kUninstallWriteStart;
    char* out = (char*)malloc(capacity);
    *used = 0;
    if (out) out[0] = 0;
    for (uint32_t g = 0; g < groupCount; g++) {
        for (UninstallEntry* e = groups[g].first; e;) {
            UninstallEntry* next = e->next;
            if (out) {
                size_t length = strlen(e->text);
                size_t need = *used + length + 2; // the LF and the terminator
                if (need > capacity) {
                    // Doubling must not wrap to 0, which would loop for ever.
                    while (need > capacity && capacity <= SIZE_MAX / 2)
                        capacity *= 2;
                    char* grown = need <= capacity ? (char*)realloc(out, capacity) : nullptr;
                    if (!grown) free(out);
                    out = grown;
                }
                if (out) {
                    memcpy(out + *used, e->text, length);
                    out[*used + length] = '\n';
                    *used += length + 1;
                    out[*used] = 0;
                }
            }
            free(e->text);
            free(e);
            e = next;
        }
        groups[g].first = groups[g].last = nullptr;
        FreeUninstallGroup(&groups[g]);
    }
    return out;
}

int WriteUninstallList(const char* path, UninstallGroup* groups, uint32_t groupCount) {
    size_t used = 0;
    char* out = FormatGroups(groups, groupCount, &used);
    if (!out) return 0;

    char temp[kUninstallPathSize + 4];
    int result = 0;
    // A read-only list refuses the rewrite, as a create over it would; not
    // every file system refuses a rename over it.
    uint32_t attributes = GetPathAttributes(path);
    bool readOnly = attributes != kInvalidAttributes && (attributes & kAttrReadOnly);
    // The written form is the text and its terminating zero byte.
    if (!readOnly && used < 0xFFFFFFFFu && FormatText(temp, "%s.tmp", path)) {
        result = ReplaceFileContents(path, temp, out, (uint32_t)used + 1, nullptr, 0) ? 1 : 0;
    }
    free(out);
    return result;
}

// Reads the whole list as Shift-JIS text; null on any failure.
static char* ReadListText(const char* path) {
    FileObject file;
    if (!file.OpenRead(path)) return nullptr;
    uint32_t size = file.GetSize();
    if (size == 0 || size == kInvalidSize) return nullptr;
    char* text = (char*)malloc((size_t)size + 1);
    if (!text) return nullptr;
    // A short read would make the rewrite drop the unread tail.
    if (file.Read(text, size) != size) {
        free(text);
        return nullptr;
    }
    file.Close();
    text[size] = 0; // the text also ends at any zero byte inside

    // Shift-JIS can pass for UTF-8 for a while (half-width katakana pairs such
    // as C3 B8 do), so only text that is UTF-8 throughout and fits code page
    // 932 character for character is converted; the rest is Shift-JIS as is.
    if (ClassifyText(text) == TEXT_ASCII || !IsWholeUtf8(text)) return text;
    const char* body = strncmp(text, "\xEF\xBB\xBF", 3) == 0 ? text + 3 : text; // BOM
    char* sjis = nullptr;
    int converted = Utf8ToSjisExact(body, &sjis);
    if (converted == 0) return text;
    free(text);
    return sjis;
}

// Reads the list at path and merges the install names into its groups
// (ordinary, dollar). False on any failure, with both groups released.
static bool MergeInstallNames(const char* path, const char* const* installNames,
                              UninstallGroup (&groups)[2]) {
    char* text = ReadListText(path);
    if (!text) return false;

    bool ok = ParseUninstallList(&groups[0], &groups[1], text);
    free(text);

    // New names always join the ordinary group, even one starting with "$".
    char line[kUninstallLineSize];
    for (const char* const* name = installNames; ok && *name; name++) {
        ok = CopyText(line, *name);
        ok = ok && AddUninstallEntry(&groups[0], LowerAscii(line));
    }
    if (!ok) {
        FreeUninstallGroup(&groups[0]);
        FreeUninstallGroup(&groups[1]);
    }
    return ok;
}

int UpdateUninstallList(const char* installFolder, const char* const* installNames) {
    char path[kUninstallPathSize];
    if (!FormatText(path, "%s\\%s", installFolder, kUninstallName)) return 0;
    UninstallGroup groups[2] = {}; // ordinary, dollar
    if (!MergeInstallNames(path, installNames, groups)) return 0;
    return WriteUninstallList(path, groups, 2);
}

int PrepareUninstallList(const char* listPath, const char* const* installNames,
                         const char* tempPath) {
    UninstallGroup groups[2] = {};
    if (!MergeInstallNames(listPath, installNames, groups)) return 0;
    size_t used = 0;
    char* out = FormatGroups(groups, 2, &used);
    if (!out) return 0;
    // As in WriteUninstallList: a read-only list refuses the rewrite.
    uint32_t attributes = GetPathAttributes(listPath);
    bool readOnly = attributes != kInvalidAttributes && (attributes & kAttrReadOnly);
    int result = !readOnly && used < 0xFFFFFFFFu &&
                         WriteNewFile(tempPath, out, (uint32_t)used + 1, nullptr, 0)
                     ? 1
                     : 0;
    free(out);
    return result;
}
