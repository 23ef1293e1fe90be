// The support log: a plain-text trail of each run that a support person can
// read after a player reports a failure. Writing it never changes an outcome,
// and a log that cannot be written is silently skipped.
#pragma once
#include <stdint.h>

// Starts this run's record in the log file at path (null or "" logs nothing).
void OpenRunLog(const char* path);
// Appends one line (printf-style, Shift-JIS text); a crash loses at most it.
void LogLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Ends this run's record; harmless when no log is open.
void CloseRunLog();

// The file's size bound in bytes; runs are dropped, oldest first, to keep
// under it. Takes effect at the next OpenRunLog.
const uint32_t kRunLogDefaultBound = 1024 * 1024;
void SetRunLogBound(uint32_t bytes);
