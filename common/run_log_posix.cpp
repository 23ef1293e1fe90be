// The support log's file, clock and error state on POSIX, for the native
// build. Backslashes in the program's paths become slashes; Shift-JIS names
// are not converted, since only the tests log here.
#include "run_log_file.h"
#include "text.h"
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

const size_t kHostPathSize = 1024;

static bool ToHost(const char* path, char (&host)[kHostPathSize]) {
    size_t i = 0;
    for (; path[i]; i++) {
        if (i + 2 >= kHostPathSize) return false;
        host[i] = path[i] == '\\' ? '/' : path[i];
        if (IsLeadByte((unsigned char)path[i]) && path[i + 1]) {
            i++;
            host[i] = path[i]; // a trail byte may be 0x5C
        }
    }
    host[i] = 0;
    return true;
}

static intptr_t Open(const char* path, int flags) {
    char host[kHostPathSize];
    if (!ToHost(path, host)) return kNoLogFile;
    int fd = open(host, flags | O_CLOEXEC, 0644);
    return fd < 0 ? kNoLogFile : fd;
}

intptr_t LogFileOpenRead(const char* path) {
    return Open(path, O_RDONLY);
}

intptr_t LogFileOpenAppend(const char* path) {
    return Open(path, O_WRONLY | O_APPEND | O_CREAT);
}

intptr_t LogFileCreate(const char* path) {
    return Open(path, O_WRONLY | O_CREAT | O_TRUNC);
}

bool LogFileSize(intptr_t file, uint64_t* size) {
    struct stat st;
    if (fstat((int)file, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *size = (uint64_t)st.st_size;
    return true;
}

uint32_t LogFileReadAt(intptr_t file, uint64_t offset, void* buffer, uint32_t count) {
    ssize_t got = pread((int)file, buffer, count, (off_t)offset);
    return got > 0 ? (uint32_t)got : 0;
}

bool LogFileWrite(intptr_t file, const void* data, uint32_t count) {
    return write((int)file, data, count) == (ssize_t)count;
}

bool LogFileFlush(intptr_t file) {
    return fsync((int)file) == 0;
}

void LogFileClose(intptr_t file) {
    close((int)file);
}

bool LogFileReplace(const char* from, const char* to) {
    char hostFrom[kHostPathSize], hostTo[kHostPathSize];
    return ToHost(from, hostFrom) && ToHost(to, hostTo) && rename(hostFrom, hostTo) == 0;
}

bool LogFileDelete(const char* path) {
    char host[kHostPathSize];
    return ToHost(path, host) && unlink(host) == 0;
}

void LogLocalTime(LogTime* t) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    t->year = (uint16_t)(local.tm_year + 1900);
    t->month = (uint16_t)(local.tm_mon + 1);
    t->day = (uint16_t)local.tm_mday;
    t->hour = (uint16_t)local.tm_hour;
    t->minute = (uint16_t)local.tm_min;
    t->second = (uint16_t)local.tm_sec;
    t->milliseconds = (uint16_t)(now.tv_nsec / 1000000);
}

uint32_t LogProcessId() {
    return (uint32_t)getpid();
}

uint32_t SaveErrorState() {
    return (uint32_t)errno;
}

void RestoreErrorState(uint32_t saved) {
    errno = (int)saved;
}
