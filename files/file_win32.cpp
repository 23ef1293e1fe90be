// FileObject and the file-system calls on Win32: narrow paths straight to the
// A services, which read them in the ANSI code page (932 on the target).
#include "file_faults.h"
#include "file_object.h"
#include "file_system.h"
#include <windows.h>

// Sequential-scan hint with the archive attribute, as every file we touch is
// read or written front to back once.
static const DWORD kOpenFlags = FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_ARCHIVE;

// The error of the last failed call, taken where it failed, before any
// CloseHandle in the clean-up can change GetLastError.
static DWORD sLastError;

static bool Fail(DWORD code) {
    sLastError = code;
    SetLastError(code);
    return false;
}

static bool FailLast() {
    return Fail(GetLastError());
}

// An injected fault looks like a device error.
static bool Injected(FileCall kind) {
    if (!FaultOnCall(kind)) return false;
    Fail(ERROR_GEN_FAILURE);
    return true;
}

static HANDLE AsHandle(intptr_t h) {
    return (HANDLE)h;
}

FileObject::FileObject() : handle(kInvalidHandle) {}

FileObject::~FileObject() {
    Close();
}

// Others may read the file while we hold it, but not write or delete it.
bool FileObject::OpenRead(const char* path) {
    if (handle != kInvalidHandle) return Fail(ERROR_BUSY);
    if (Injected(kCallOpen) || FaultOnOpenRead(path)) return Fail(ERROR_GEN_FAILURE);
    HANDLE h =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, kOpenFlags, NULL);
    if (h == INVALID_HANDLE_VALUE) return FailLast();
    handle = (intptr_t)h;
    return true;
}

// No sharing at all while the new file is being written.
bool FileObject::Create(const char* path) {
    if (handle != kInvalidHandle) return Fail(ERROR_BUSY);
    if (Injected(kCallCreate) || FaultOnCreate(path)) return Fail(ERROR_GEN_FAILURE);
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, kOpenFlags, NULL);
    if (h == INVALID_HANDLE_VALUE) return FailLast();
    handle = (intptr_t)h;
    NoteFileEvent(kEventCreated, path, nullptr, handle);
    return true;
}

// CREATE_NEW fails on any existing name, a link included. What was opened is
// then checked to be a plain file with this one name, not a reparse point or
// a hard link to a file elsewhere.
bool FileObject::CreateNew(const char* path) {
    if (handle != kInvalidHandle) return Fail(ERROR_BUSY);
    if (Injected(kCallCreate) || FaultOnCreate(path)) return Fail(ERROR_GEN_FAILURE);
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW,
                           kOpenFlags | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (h == INVALID_HANDLE_VALUE) return FailLast();
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
        DWORD code = GetLastError();
        CloseHandle(h);
        return Fail(code);
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks != 1) {
        CloseHandle(h);
        return Fail(ERROR_FILE_EXISTS);
    }
    handle = (intptr_t)h;
    NoteFileEvent(kEventCreated, path, nullptr, handle);
    return true;
}

uint32_t FileObject::Read(void* buffer, uint32_t count) {
    if (Injected(kCallRead)) return 0;
    DWORD done = 0;
    if (!ReadFile(AsHandle(handle), buffer, count, &done, NULL)) {
        FailLast();
        return 0;
    }
    return done;
}

uint32_t FileObject::Write(const void* buffer, uint32_t count) {
    if (Injected(kCallWrite)) return 0;
    DWORD done = 0;
    if (!WriteFile(AsHandle(handle), buffer, FaultWriteCount(count), &done, NULL)) {
        FailLast();
        return 0;
    }
    if (done < count) sLastError = ERROR_DISK_FULL;
    return done;
}

// The distance is a signed 32-bit low part with no high part: a position with
// the top bit set would be a move before the start and fails.
bool FileObject::Seek(uint32_t position) {
    if (Injected(kCallSeek)) return false;
    if (position >= 0x80000000u) return Fail(ERROR_NEGATIVE_SEEK);
    DWORD now = SetFilePointer(AsHandle(handle), (LONG)position, NULL, FILE_BEGIN);
    if (now == INVALID_SET_FILE_POINTER) return FailLast();
    return now == position;
}

uint32_t FileObject::GetSize() {
    if (Injected(kCallQuery)) return kInvalidSize;
    DWORD size = GetFileSize(AsHandle(handle), NULL);
    if (size == INVALID_FILE_SIZE) FailLast();
    return size;
}

bool FileObject::Flush() {
    if (Injected(kCallFlush) || FaultOnFlush()) return Fail(ERROR_GEN_FAILURE);
    if (!FlushFileBuffers(AsHandle(handle))) return FailLast();
    NoteFileEvent(kEventFlushed, nullptr, nullptr, handle);
    return true;
}

void FileObject::Close() {
    if (handle == kInvalidHandle) return;
    CloseHandle(AsHandle(handle));
    handle = kInvalidHandle;
}

uint32_t GetPathAttributes(const char* path) {
    if (Injected(kCallQuery)) return kInvalidAttributes;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) FailLast();
    return attributes;
}

bool SetPathAttributes(const char* path, uint32_t attributes) {
    if (Injected(kCallAttributes)) return false;
    return SetFileAttributesA(path, attributes) ? true : FailLast();
}

// Write-through: the rename is on disk when the call returns.
bool MoveReplace(const char* from, const char* to) {
    if (Injected(kCallMove)) return false;
    if (FaultOnMove(to)) return Fail(ERROR_GEN_FAILURE);
    if (FaultOnLock(from) || FaultOnLock(to)) return Fail(ERROR_SHARING_VIOLATION);
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return FailLast();
    NoteFileEvent(kEventMoved, from, to, -1);
    return true;
}

// DeleteFileA removes a symbolic link itself, not its target.
bool DeletePath(const char* path) {
    if (Injected(kCallDelete)) return false;
    if (!DeleteFileA(path)) return FailLast();
    NoteFileEvent(kEventDeleted, path, nullptr, -1);
    return true;
}

// NTFS logs changes to folder entries in order and the renames that matter
// are written through, so there is nothing more to force here.
bool SyncFolder(const char* path) {
    if (Injected(kCallFlush)) return false;
    NoteFileEvent(kEventSynced, path, nullptr, -1);
    return true;
}

static bool IsMissingError(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// GetFileAttributesA does not follow a reparse point, so a link is seen and
// removed as itself. A plain file is opened without following links, checked
// to be the file looked at and to have no other name (its read-only bit is
// shared with every name), and cleared and deleted through that handle.
bool RemoveLeftover(const char* path) {
    if (Injected(kCallQuery)) return false;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD code = GetLastError();
        return IsMissingError(code) ? true : Fail(code);
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (Injected(kCallDelete)) return false;
        BOOL removed =
            (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryA(path) : DeleteFileA(path);
        if (!removed) return FailLast();
        NoteFileEvent(kEventDeleted, path, nullptr, -1);
        return true;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Fail(ERROR_DIRECTORY);
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) {
        if (Injected(kCallDelete)) return false;
        if (!DeleteFileA(path)) return FailLast();
        NoteFileEvent(kEventDeleted, path, nullptr, -1);
        return true;
    }
    if (Injected(kCallAttributes)) return false;
    HANDLE h = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (h == INVALID_HANDLE_VALUE) return FailLast();
    BY_HANDLE_FILE_INFORMATION info;
    bool plain =
        GetFileInformationByHandle(h, &info) &&
        !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
        info.nNumberOfLinks == 1;
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    bool ok = plain && SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic) &&
              SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
    DWORD code = plain ? GetLastError() : ERROR_ACCESS_DENIED;
    CloseHandle(h);
    if (!ok) return Fail(code);
    NoteFileEvent(kEventDeleted, path, nullptr, -1);
    return true;
}

// Opening for DELETE with every sharing allowed succeeds exactly when no
// other program holds the file without delete sharing, which is what a
// rename of it needs.
ProbeResult ProbeReplace(const char* path) {
    if (Injected(kCallOpen)) return kProbeBlocked;
    if (FaultOnLock(path)) {
        Fail(ERROR_SHARING_VIOLATION);
        return kProbeLocked;
    }
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD code = GetLastError();
        Fail(code);
        return IsMissingError(code) ? kProbeMissing : kProbeBlocked;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        Fail(ERROR_DIRECTORY);
        return kProbeBlocked;
    }
    HANDLE h = CreateFileA(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        Fail(code);
        return IsLockError(code) ? kProbeLocked : kProbeBlocked;
    }
    CloseHandle(h);
    return kProbeReady;
}

bool IsLockError(uint32_t code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

void PauseBriefly(uint32_t milliseconds) {
    if (!FaultSkipsPause()) Sleep(milliseconds);
}

bool GetOwnModulePath(char* path, size_t size) {
    if (size == 0) return false;
    DWORD n = GetModuleFileNameA(NULL, path, (DWORD)size);
    // A full buffer means the name was cut short.
    if (n == 0 || n >= size) {
        path[0] = 0;
        return false;
    }
    return true;
}

uint32_t LastFileError() {
    return sLastError;
}
