// The support log's file, clock and error state on Win32: the A file calls
// with the program's Shift-JIS paths, straight to the system with no buffering
// in the process.
#include "run_log_file.h"
#include <windows.h>

static HANDLE AsHandle(intptr_t file) {
    return (HANDLE)file;
}

static intptr_t FromHandle(HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? kNoLogFile : (intptr_t)h;
}

// No FILE_SHARE_DELETE: while any run holds the log, no other can rename a
// trimmed copy over it and so lose that run's lines.
static const DWORD kShareLog = FILE_SHARE_READ | FILE_SHARE_WRITE;

intptr_t LogFileOpenRead(const char* path) {
    return FromHandle(CreateFileA(path, GENERIC_READ, kShareLog, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL));
}

// Append access alone: the system puts every write at the current end, also
// when two runs write at once.
intptr_t LogFileOpenAppend(const char* path) {
    return FromHandle(CreateFileA(path, FILE_APPEND_DATA | SYNCHRONIZE, kShareLog, NULL,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
}

intptr_t LogFileCreate(const char* path) {
    return FromHandle(
        CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
}

bool LogFileSize(intptr_t file, uint64_t* size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(AsHandle(file), &value) || value.QuadPart < 0) return false;
    *size = (uint64_t)value.QuadPart;
    return true;
}

uint32_t LogFileReadAt(intptr_t file, uint64_t offset, void* buffer, uint32_t count) {
    OVERLAPPED at = {};
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    DWORD done = 0;
    if (!ReadFile(AsHandle(file), buffer, count, &done, &at)) return 0;
    return done;
}

bool LogFileWrite(intptr_t file, const void* data, uint32_t count) {
    DWORD done = 0;
    return WriteFile(AsHandle(file), data, count, &done, NULL) && done == count;
}

bool LogFileFlush(intptr_t file) {
    return FlushFileBuffers(AsHandle(file)) != 0;
}

void LogFileClose(intptr_t file) {
    CloseHandle(AsHandle(file));
}

bool LogFileReplace(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool LogFileDelete(const char* path) {
    return DeleteFileA(path) != 0;
}

void LogLocalTime(LogTime* t) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    t->year = now.wYear;
    t->month = now.wMonth;
    t->day = now.wDay;
    t->hour = now.wHour;
    t->minute = now.wMinute;
    t->second = now.wSecond;
    t->milliseconds = now.wMilliseconds;
}

uint32_t LogProcessId() {
    return GetCurrentProcessId();
}

uint32_t SaveErrorState() {
    return GetLastError();
}

void RestoreErrorState(uint32_t saved) {
    SetLastError(saved);
}
