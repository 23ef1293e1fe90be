// Removal of whatever stands at a path (file, folder, folder tree), now or at
// the next restart. The logic is portable; it reaches the file system through
// a table of operations, the Win32 one in setup.exe and fakes in the tests.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "text.h"

// Removal flags.
const uint32_t REMOVE_FILES = 0x00001;          // a path that is not a folder may go
const uint32_t REMOVE_FOLDERS = 0x00002;        // a folder may go
const uint32_t REMOVE_AT_RESTART = 0x10000;     // hand the path to removeAtRestart instead
const uint32_t REMOVE_CONTENTS = 0x20000;       // empty a folder first, same flags
const uint32_t REMOVE_CLEAR_READONLY = 0x40000; // clear the read-only attribute first

// Anything now, whole trees included; a file at restart.
const uint32_t kRemoveNow = REMOVE_FILES | REMOVE_FOLDERS | REMOVE_CONTENTS | REMOVE_CLEAR_READONLY;
const uint32_t kRemoveFileAtRestart = REMOVE_FILES | REMOVE_AT_RESTART;

// File attributes, with the Win32 values.
const uint32_t kAttrReadOnly = 0x1;
const uint32_t kAttrDirectory = 0x10;
const uint32_t kAttrReparsePoint = 0x400;
const uint32_t kNoAttributes = 0xFFFFFFFF; // INVALID_FILE_ATTRIBUTES

const size_t kEntryNameUnits = 260; // a folder entry's name, as in WIN32_FIND_DATAW

struct FolderEntry {
    WideChar name[kEntryNameUnits];
    uint32_t attributes;
};

// The file-system operations that RemovePath uses. An enumeration is an opaque
// pointer, null when it did not open.
struct RemoveOps {
    uint32_t (*getAttributes)(const WideChar* path); // kNoAttributes on failure
    bool (*setAttributes)(const WideChar* path, uint32_t attributes);
    void* (*findFirst)(const WideChar* pattern, FolderEntry* entry);
    bool (*findNext)(void* find, FolderEntry* entry);
    void (*findClose)(void* find);
    bool (*deleteFile)(const WideChar* path);
    bool (*removeFolder)(const WideChar* path);
    bool (*removeAtRestart)(const WideChar* path); // always true
};

// True when the path was removed (or handed over for removal at restart).
// A reparse point (junction, symbolic link) is removed as a link: nothing
// behind it is enumerated or deleted, since setup runs elevated in a folder
// that any process of the user can write.
bool RemovePath(const RemoveOps& ops, const WideChar* path, uint32_t flags);

// The end of a run in its private folder. While the folder is still held, the
// copy is removed (up to tries times, pause() between; 0 when it never ran) or
// else handed over for removal at restart. Then release(context) lets go of
// the folder, which is removed only as an empty folder or as a link: once let
// go, its name may stand for anything, so it is never emptied. True when the
// folder is gone; a copy left for the restart keeps it until then.
struct RunFolderEnd {
    const WideChar* folder;
    const WideChar* copy; // null when no copy was made
    int tries;
    void (*pause)();
    void (*release)(void* context);
    void* context;
};
bool RemoveRunFolder(const RemoveOps& ops, const RunFolderEnd& end);

#ifdef _WIN32
// The Win32 operations.
extern const RemoveOps kWin32RemoveOps;
inline bool RemovePath(const WideChar* path, uint32_t flags) {
    return RemovePath(kWin32RemoveOps, path, flags);
}
#endif
