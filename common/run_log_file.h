// The support log's own access to its file, the clock and the error state,
// apart from the file layer: writing the log must not move the file layer's
// fault counters or the last-error value the update procedure reports.
// run_log_win32.cpp and run_log_posix.cpp hold the two forms.
#pragma once
#include <stdint.h>

const intptr_t kNoLogFile = -1;

// Others may read and append while we hold the file, but not replace it.
intptr_t LogFileOpenRead(const char* path);
// Creates the file if missing; every write lands at its end.
intptr_t LogFileOpenAppend(const char* path);
// A new empty file, replacing any; nobody else may open it meanwhile.
intptr_t LogFileCreate(const char* path);
bool LogFileSize(intptr_t file, uint64_t* size);
// Bytes read at offset; 0 at the end and on failure alike.
uint32_t LogFileReadAt(intptr_t file, uint64_t offset, void* buffer, uint32_t count);
// One system call: true only when all count bytes were handed to the system.
bool LogFileWrite(intptr_t file, const void* data, uint32_t count);
bool LogFileFlush(intptr_t file);
void LogFileClose(intptr_t file);
// Renames from over to, through to the disk before it returns.
bool LogFileReplace(const char* from, const char* to);
bool LogFileDelete(const char* path);

struct LogTime {
    uint16_t year, month, day, hour, minute, second, milliseconds;
};
void LogLocalTime(LogTime* time);
uint32_t LogProcessId();

// The thread's last-error value (GetLastError, errno), kept across each call
// of the log so that the caller's view of its last failure stays as it was.
uint32_t SaveErrorState();
void RestoreErrorState(uint32_t saved);

// Tests: file calls the log may still make; once none are left every call
// fails, as if the process had died there. kLogCallsUnlimited in the programs.
const uint32_t kLogCallsUnlimited = 0xFFFFFFFF;
extern uint32_t gLogCallsLeft;
