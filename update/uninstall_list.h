// The uninstall list "uninst.lst": one lowered path per line naming what an
// uninstaller removes. The updater merges the names it installed into it.
#pragma once
#include <stddef.h>
#include <stdint.h>

const uint32_t kUninstallLineSize = 780; // 779 bytes of entry text and the NUL
const uint32_t kUninstallPathSize = 780; // three times MAX_PATH
const uint32_t kUninstallWriteStart = 0x10000;

struct UninstallEntry {
    char* text;               // owned heap copy, lowered, NUL-terminated
    UninstallEntry* next;     // next entry of the group, in group order
    UninstallEntry* hashNext; // next entry in the same bucket of the group's set
    uint32_t hash;
};

// Entries in the order first met, with a hash set beside them so that the
// first-wins de-duplication stays linear. Zero-initialise before use.
struct UninstallGroup {
    UninstallEntry* first;
    UninstallEntry* last;
    UninstallEntry** buckets; // bucketCount chains, a power of two, or null
    uint32_t bucketCount;
    uint32_t count;
};

// Adds a copy of text (already lowered) unless the group holds an equal entry.
// False only when memory runs out; a duplicate is not a failure.
bool AddUninstallEntry(UninstallGroup* group, const char* text);
void FreeUninstallGroup(UninstallGroup* group);

// Appends the entries of a NUL-terminated Shift-JIS text to the two groups:
// lines split on runs of CR and LF, leading blanks dropped, ASCII lowered,
// lines beginning with "$" to the dollar group. False when a line is longer
// than 779 bytes or memory runs out; the groups then hold what came before.
bool ParseUninstallList(UninstallGroup* ordinary, UninstallGroup* dollar, const char* text);

// Writes the groups in order, one entry and an LF per line, then one zero
// byte. The bytes go to "<path>.tmp", are flushed and then renamed over path,
// so a failure leaves the old file exactly as it was. Releases every entry of
// every group whatever the outcome. 1 when the list was replaced, else 0.
int WriteUninstallList(const char* path, UninstallGroup* groups, uint32_t groupCount);

// Merges the install names (null-terminated table) into "<folder>\uninst.lst".
// 1 when the list was rewritten, 0 on any failure: a missing, empty or
// unreadable list, a short read, a UTF-8 text that does not convert, a line
// over 779 bytes, or a failed write. The list is never created.
int UpdateUninstallList(const char* installFolder, const char* const* installNames);

// The same merge, written to a new file at tempPath (flushed) for a commit
// to move over listPath later; the list itself is left alone. 1 when tempPath
// holds the new list, 0 as UpdateUninstallList fails.
int PrepareUninstallList(const char* listPath, const char* const* installNames,
                         const char* tempPath);
