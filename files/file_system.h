// The few file-system calls outside FileObject. Paths are narrow Shift-JIS with
// backslashes on every platform; the POSIX form converts them.
#pragma once
#include <stddef.h>
#include <stdint.h>

const size_t kMaxPath = 260; // MAX_PATH: every program-form path buffer

const uint32_t kInvalidAttributes = 0xFFFFFFFF;
const uint32_t kAttrReadOnly = 0x01;
const uint32_t kAttrDirectory = 0x10;
const uint32_t kAttrNormal = 0x80;

uint32_t GetPathAttributes(const char* path); // kInvalidAttributes when missing
bool SetPathAttributes(const char* path, uint32_t attributes);
// Renames over an existing file and makes the rename durable before it
// returns (write-through). False can also mean the rename happened but is not
// known to be on disk: callers look at what is there.
bool MoveReplace(const char* from, const char* to);
bool DeletePath(const char* path); // a file, or a link itself
// Makes the folder's entries (creations, renames, deletions) durable.
bool SyncFolder(const char* path);
// Clears the name for a new file: a leftover file is deleted (its read-only
// attribute cleared first), a link is removed itself, never what it points
// to. True when nothing has the name now; false for a folder or a failure.
bool RemoveLeftover(const char* path);

// Whether a file could be renamed away right now.
enum ProbeResult {
    kProbeMissing, // nothing there
    kProbeReady,   // a file nobody holds against deletion
    kProbeLocked,  // held open by another program without delete sharing
    kProbeBlocked  // a folder, or another failure that waiting will not cure
};
ProbeResult ProbeReplace(const char* path);
// True for the error codes of a file held open by another program.
bool IsLockError(uint32_t code);
// Sleeps for a short while, to let another program let go of a file.
void PauseBriefly(uint32_t milliseconds);
// The running program's file; false when it does not fit.
bool GetOwnModulePath(char* path, size_t size);

// The system's error code of the last file operation that failed on this
// thread (GetLastError on Windows, errno elsewhere), taken at the failing call
// so that clean-up after it cannot change it; for the support log.
uint32_t LastFileError();
// Names the program holding path open, where the system can tell (Restart
// Manager on Windows); false when it cannot. For the support log only.
bool DescribeFileHolder(const char* path, char* name, size_t size);
