// The Win32 operations behind RemovePath, and the registration of a removal at
// the next restart. Whatever changes or deletes opens the path itself: a link
// standing there is changed or deleted as the link, never its target.
#include <windows.h>

#include <string.h>

#include "remove_path.h"

static uint32_t GetAttributes(const WideChar* path) {
    return GetFileAttributesW(path);
}

// The attributes that can be written; the rest describe what an entry is.
const DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

static HANDLE OpenItself(const WideChar* path, DWORD access) {
    return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

static bool SetAttributes(const WideChar* path, uint32_t attributes) {
    HANDLE item = OpenItself(path, FILE_WRITE_ATTRIBUTES);
    if (item == INVALID_HANDLE_VALUE) return false;
    FILE_BASIC_INFO info;
    memset(&info, 0, sizeof info); // times of zero are left as they are
    info.FileAttributes = attributes & kSettableAttributes;
    if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL; // 0 changes nothing
    bool set = SetFileInformationByHandle(item, FileBasicInfo, &info, sizeof info) != 0;
    CloseHandle(item);
    return set;
}

// Deletes a file, an empty folder or a link; fails like DeleteFileW and
// RemoveDirectoryW on a read-only entry or a folder with contents.
static bool DeleteItself(const WideChar* path) {
    HANDLE item = OpenItself(path, DELETE);
    if (item == INVALID_HANDLE_VALUE) return false;
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    bool marked = SetFileInformationByHandle(item, FileDispositionInfo, &disposition,
                                             sizeof disposition) != 0;
    CloseHandle(item);
    return marked;
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
                                   FindEnd,       DeleteItself,  DeleteItself, RemoveAtRestart};
