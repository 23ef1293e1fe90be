// The Win32 operations behind RemovePath, and the registration of a removal at
// the next restart.
#include <windows.h>

#include <string.h>

#include "remove_path.h"

static uint32_t GetAttributes(const WideChar* path) {
    return GetFileAttributesW(path);
}

static bool SetAttributes(const WideChar* path, uint32_t attributes) {
    return SetFileAttributesW(path, attributes) != 0;
}

static void CopyEntry(const WIN32_FIND_DATAW& data, FolderEntry* entry) {
    static_assert(sizeof entry->name == sizeof data.cFileName, "entry names hold MAX_PATH units");
    memcpy(entry->name, data.cFileName, sizeof entry->name);
    entry->name[kEntryNameUnits - 1] = 0;
    entry->attributes = data.dwFileAttributes;
}

// The enumeration handle is the find handle itself; null when it did not open.
static void* FindFirst(const WideChar* pattern, FolderEntry* entry) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern, &data);
    if (find == INVALID_HANDLE_VALUE) return nullptr;
    CopyEntry(data, entry);
    return find;
}

static bool FindNext(void* find, FolderEntry* entry) {
    WIN32_FIND_DATAW data;
    if (!FindNextFileW(find, &data)) return false;
    CopyEntry(data, entry);
    return true;
}

static void FindEnd(void* find) {
    FindClose(find);
}

static bool DeleteOne(const WideChar* path) {
    return DeleteFileW(path) != 0;
}

static bool RemoveFolder(const WideChar* path) {
    return RemoveDirectoryW(path) != 0;
}

static bool IsNtPlatform() {
    OSVERSIONINFOA info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExA(&info);
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

// Registers the path for deletion at the next restart on the NT family; always true.
static bool RemoveAtRestart(const WideChar* path) {
    if (IsNtPlatform()) MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return true;
}

const RemoveOps kWin32RemoveOps = {GetAttributes, SetAttributes, FindFirst,    FindNext,
                                   FindEnd,       DeleteOne,     RemoveFolder, RemoveAtRestart};
