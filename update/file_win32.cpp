// FileObject and the file-system calls on Win32: narrow paths straight to the
// A services, which read them in the ANSI code page (932 on the target).
#include "file_faults.h"
#include "file_object.h"
#include "file_system.h"
#include <windows.h>

// Sequential-scan hint with the archive attribute, as every file we touch is
// read or written front to back once.
static const DWORD kOpenFlags = FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_ARCHIVE;

static HANDLE AsHandle(intptr_t h) {
    return (HANDLE)h;
}

FileObject::FileObject() : handle(kInvalidHandle) {}

FileObject::~FileObject() {
    Close();
}

// Others may read the file while we hold it, but not write or delete it.
bool FileObject::OpenRead(const char* path) {
    if (handle != kInvalidHandle) return false;
    if (FaultOnOpenRead(path)) return false;
    HANDLE h =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, kOpenFlags, NULL);
    handle = (intptr_t)h;
    return h != INVALID_HANDLE_VALUE;
}

// No sharing at all while the new file is being written.
bool FileObject::Create(const char* path) {
    if (handle != kInvalidHandle) return false;
    if (FaultOnCreate(path)) return false;
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, kOpenFlags, NULL);
    handle = (intptr_t)h;
    return h != INVALID_HANDLE_VALUE;
}

uint32_t FileObject::Read(void* buffer, uint32_t count) {
    DWORD done = 0;
    if (!ReadFile(AsHandle(handle), buffer, count, &done, NULL)) return 0;
    return done;
}

uint32_t FileObject::Write(const void* buffer, uint32_t count) {
    DWORD done = 0;
    if (!WriteFile(AsHandle(handle), buffer, FaultWriteCount(count), &done, NULL)) return 0;
    return done;
}

// The distance is a signed 32-bit low part with no high part: a position with
// the top bit set would be a move before the start and fails.
bool FileObject::Seek(uint32_t position) {
    if (position >= 0x80000000u) return false;
    DWORD now = SetFilePointer(AsHandle(handle), (LONG)position, NULL, FILE_BEGIN);
    return now != INVALID_SET_FILE_POINTER && now == position;
}

uint32_t FileObject::GetSize() {
    return GetFileSize(AsHandle(handle), NULL);
}

bool FileObject::Flush() {
    if (FaultOnFlush()) return false;
    return FlushFileBuffers(AsHandle(handle)) != 0;
}

void FileObject::Close() {
    if (handle == kInvalidHandle) return;
    CloseHandle(AsHandle(handle));
    handle = kInvalidHandle;
}

uint32_t GetPathAttributes(const char* path) {
    return GetFileAttributesA(path);
}

bool SetPathAttributes(const char* path, uint32_t attributes) {
    return SetFileAttributesA(path, attributes) != 0;
}

bool MoveReplace(const char* from, const char* to) {
    if (FaultOnMove(to)) return false;
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool DeletePath(const char* path) {
    return DeleteFileA(path) != 0;
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
    return GetLastError();
}
