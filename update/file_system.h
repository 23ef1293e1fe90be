// The few file-system calls outside FileObject. Paths are narrow Shift-JIS with
// backslashes on every platform; the POSIX form converts them.
#pragma once
#include <stddef.h>
#include <stdint.h>

const uint32_t kInvalidAttributes = 0xFFFFFFFF;
const uint32_t kAttrReadOnly = 0x01;
const uint32_t kAttrDirectory = 0x10;
const uint32_t kAttrNormal = 0x80;

uint32_t GetPathAttributes(const char* path); // kInvalidAttributes when missing
bool SetPathAttributes(const char* path, uint32_t attributes);
bool MoveReplace(const char* from, const char* to); // rename over an existing file
bool DeletePath(const char* path);                  // a file
// The running program's file; false when it does not fit.
bool GetOwnModulePath(char* path, size_t size);

// The system's error code of the last file operation that failed on this
// thread (GetLastError on Windows, errno elsewhere); for the support log.
uint32_t LastFileError();
// Names the program holding path open, where the system can tell (Restart
// Manager on Windows); false when it cannot. For the support log only.
bool DescribeFileHolder(const char* path, char* name, size_t size);
