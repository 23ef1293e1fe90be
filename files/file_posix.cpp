// FileObject and the file-system calls on POSIX, for the native build. Program
// paths are Shift-JIS with backslashes; they become UTF-8 with slashes here.
// Share modes have no POSIX form and are not emulated; read-only files refuse
// create, replace and delete as they would on Windows, even for root.
#include "file_faults.h"
#include "file_object.h"
#include "file_system.h"
#include "text.h"
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

const size_t kHostPathSize = 4096;

// The error of the last failed call, taken where it failed.
static uint32_t sLastError;

static bool Fail(int code) {
    sLastError = (uint32_t)code;
    return false;
}

// An injected fault looks like an I/O error.
static bool Injected(FileCall kind) {
    if (!FaultOnCall(kind)) return false;
    sLastError = EIO;
    return true;
}

// Converts all of text with iconv into out (terminated); false when any of it
// does not convert or fit.
static bool ConvertWhole(const char* to, const char* from, const char* text, char* out,
                         size_t size) {
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1) return false;
    char* in = const_cast<char*>(text);
    size_t inLeft = strlen(text);
    size_t outLeft = size - 1;
    size_t r = iconv(cd, &in, &inLeft, &out, &outLeft);
    iconv_close(cd);
    if (r == (size_t)-1 || inLeft != 0) return false;
    *out = 0;
    return true;
}

// Shift-JIS to UTF-8 first, separators second: a trail byte may be 0x5C, and
// only after conversion is every backslash a real one.
static bool ToHostPath(const char* path, char (&host)[kHostPathSize]) {
    if (!path || !path[0] || !ConvertWhole("UTF-8", "CP932", path, host, kHostPathSize))
        return false;
    for (char* p = host; *p; p++)
        if (*p == '\\') *p = '/';
    return true;
}

// The reverse, for the program's own path.
static bool FromHostPath(const char* host, char* path, size_t size) {
    if (!ConvertWhole("CP932", "UTF-8", host, path, size)) return false;
    // '/' is never a Shift-JIS trail byte, so this walk needs no lead bytes.
    for (char* p = path; *p; p++)
        if (*p == '/') *p = '\\';
    return true;
}

static bool IsReadOnlyMode(mode_t mode) {
    return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

// An existing regular file without write bits: Windows refuses to overwrite,
// replace or delete it, so the native build does too.
static bool IsReadOnlyFile(const char* host) {
    struct stat st;
    return stat(host, &st) == 0 && S_ISREG(st.st_mode) && IsReadOnlyMode(st.st_mode);
}

FileObject::FileObject() : handle(kInvalidHandle) {}

FileObject::~FileObject() {
    Close();
}

bool FileObject::OpenRead(const char* path) {
    if (handle != kInvalidHandle) return Fail(EBUSY);
    char host[kHostPathSize];
    if (Injected(kCallOpen) || FaultOnOpenRead(path)) return Fail(EIO);
    if (!ToHostPath(path, host)) return Fail(EINVAL);
    int fd = open(host, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail(errno);
    // Windows does not open a folder as a file.
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int code = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(fd);
        return Fail(code);
    }
    handle = fd;
    return true;
}

bool FileObject::Create(const char* path) {
    if (handle != kInvalidHandle) return Fail(EBUSY);
    char host[kHostPathSize];
    if (Injected(kCallCreate) || FaultOnCreate(path)) return Fail(EIO);
    if (!ToHostPath(path, host)) return Fail(EINVAL);
    if (IsReadOnlyFile(host)) return Fail(EACCES);
    int fd = open(host, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return Fail(errno);
    handle = fd;
    NoteFileEvent(kEventCreated, path, nullptr, handle);
    return true;
}

bool FileObject::CreateNew(const char* path) {
    if (handle != kInvalidHandle) return Fail(EBUSY);
    char host[kHostPathSize];
    if (Injected(kCallCreate) || FaultOnCreate(path)) return Fail(EIO);
    if (!ToHostPath(path, host)) return Fail(EINVAL);
    // O_EXCL fails on any name that exists, a dangling link too.
    int fd = open(host, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return Fail(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        int code = errno ? errno : EEXIST;
        close(fd);
        return Fail(code);
    }
    handle = fd;
    NoteFileEvent(kEventCreated, path, nullptr, handle);
    return true;
}

uint32_t FileObject::Read(void* buffer, uint32_t count) {
    if (handle == kInvalidHandle) {
        Fail(EBADF);
        return 0;
    }
    if (Injected(kCallRead)) return 0;
    ssize_t n = read((int)handle, buffer, count);
    if (n < 0) {
        Fail(errno);
        return 0;
    }
    return (uint32_t)n;
}

uint32_t FileObject::Write(const void* buffer, uint32_t count) {
    if (handle == kInvalidHandle) {
        Fail(EBADF);
        return 0;
    }
    if (Injected(kCallWrite)) return 0;
    ssize_t n = write((int)handle, buffer, FaultWriteCount(count));
    if (n < 0) {
        Fail(errno);
        return 0;
    }
    if ((uint32_t)n < count) sLastError = ENOSPC;
    return (uint32_t)n;
}

// Positions of 2 GiB and above fail, as the Windows form's signed distance does.
bool FileObject::Seek(uint32_t position) {
    if (handle == kInvalidHandle) return Fail(EBADF);
    if (Injected(kCallSeek)) return false;
    if (position >= 0x80000000u) return Fail(EINVAL);
    if (lseek((int)handle, (off_t)position, SEEK_SET) != (off_t)position) return Fail(errno);
    return true;
}

uint32_t FileObject::GetSize() {
    struct stat st;
    if (handle == kInvalidHandle) {
        Fail(EBADF);
        return kInvalidSize;
    }
    if (Injected(kCallQuery)) return kInvalidSize;
    if (fstat((int)handle, &st) != 0) {
        Fail(errno);
        return kInvalidSize;
    }
    return (uint32_t)((uint64_t)st.st_size & 0xFFFFFFFFu);
}

bool FileObject::Flush() {
    if (handle == kInvalidHandle) return Fail(EBADF);
    if (Injected(kCallFlush) || FaultOnFlush()) return Fail(EIO);
    if (fsync((int)handle) != 0) return Fail(errno);
    NoteFileEvent(kEventFlushed, nullptr, nullptr, handle);
    return true;
}

void FileObject::Close() {
    if (handle == kInvalidHandle) return;
    close((int)handle);
    handle = kInvalidHandle;
}

// Folders 0x10; files carry the archive bit as our layer creates them, and the
// read-only bit when no write bit is set.
uint32_t GetPathAttributes(const char* path) {
    char host[kHostPathSize];
    struct stat st;
    if (Injected(kCallQuery)) return kInvalidAttributes;
    if (!ToHostPath(path, host)) {
        Fail(EINVAL);
        return kInvalidAttributes;
    }
    if (stat(host, &st) != 0) {
        Fail(errno);
        return kInvalidAttributes;
    }
    uint32_t attributes = S_ISDIR(st.st_mode) ? kAttrDirectory : 0x20;
    if (IsReadOnlyMode(st.st_mode)) attributes |= kAttrReadOnly;
    return attributes;
}

// Only the read-only bit has a POSIX form: it takes away or gives back the
// owner's write bit.
bool SetPathAttributes(const char* path, uint32_t attributes) {
    char host[kHostPathSize];
    struct stat st;
    if (Injected(kCallAttributes)) return false;
    if (!ToHostPath(path, host)) return Fail(EINVAL);
    if (stat(host, &st) != 0) return Fail(errno);
    mode_t mode = st.st_mode & 07777;
    if (attributes & kAttrReadOnly)
        mode &= ~(mode_t)(S_IWUSR | S_IWGRP | S_IWOTH);
    else if (IsReadOnlyMode(mode))
        mode |= S_IWUSR;
    if (chmod(host, mode) != 0) return Fail(errno);
    return true;
}

// The folder part of a path, up to its last separator (host form: '/' only).
static void HostFolder(const char* host, char (&folder)[kHostPathSize]) {
    snprintf(folder, sizeof folder, "%s", host);
    char* slash = strrchr(folder, '/');
    if (slash && slash != folder)
        *slash = 0;
    else
        snprintf(folder, sizeof folder, "%s", slash ? "/" : ".");
}

// The same in program form, for the test seam: Shift-JIS aware.
static void ProgramFolder(const char* path, char (&folder)[kMaxPath]) {
    snprintf(folder, sizeof folder, "%s", path);
    char* last = LastSeparator(folder);
    if (last) *last = 0;
}

static bool SyncHostFolder(const char* host) {
    int fd = open(host, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Fail(errno);
    bool ok = fsync(fd) == 0;
    int code = errno;
    close(fd);
    return ok ? true : Fail(code);
}

// The rename reaches the disk only with its folder: synced before returning,
// as MOVEFILE_WRITE_THROUGH does on Windows.
bool MoveReplace(const char* from, const char* to) {
    char hostFrom[kHostPathSize], hostTo[kHostPathSize];
    if (Injected(kCallMove)) return false;
    if (FaultOnMove(to)) return Fail(EIO);
    if (FaultOnLock(from) || FaultOnLock(to)) return Fail(EBUSY);
    if (!ToHostPath(from, hostFrom) || !ToHostPath(to, hostTo)) return Fail(EINVAL);
    if (IsReadOnlyFile(hostTo)) return Fail(EACCES);
    if (rename(hostFrom, hostTo) != 0) return Fail(errno);
    NoteFileEvent(kEventMoved, from, to, -1);
    if (Injected(kCallFlush)) return false;
    char folderFrom[kHostPathSize], folderTo[kHostPathSize];
    HostFolder(hostFrom, folderFrom);
    HostFolder(hostTo, folderTo);
    if (!SyncHostFolder(folderTo)) return false;
    if (strcmp(folderFrom, folderTo) != 0 && !SyncHostFolder(folderFrom)) return false;
    char folder[kMaxPath];
    ProgramFolder(to, folder);
    NoteFileEvent(kEventSynced, folder, nullptr, -1);
    ProgramFolder(from, folder);
    NoteFileEvent(kEventSynced, folder, nullptr, -1);
    return true;
}

bool DeletePath(const char* path) {
    char host[kHostPathSize];
    if (Injected(kCallDelete)) return false;
    if (!ToHostPath(path, host)) return Fail(EINVAL);
    if (IsReadOnlyFile(host)) return Fail(EACCES);
    if (unlink(host) != 0) return Fail(errno);
    NoteFileEvent(kEventDeleted, path, nullptr, -1);
    return true;
}

bool SyncFolder(const char* path) {
    char host[kHostPathSize];
    if (Injected(kCallFlush)) return false;
    if (!ToHostPath(path, host)) return Fail(EINVAL);
    if (!SyncHostFolder(host)) return false;
    NoteFileEvent(kEventSynced, path, nullptr, -1);
    return true;
}

// lstat looks at the name itself: a symbolic link is removed as a link. The
// read-only bit is cleared through a descriptor of the very file looked at.
bool RemoveLeftover(const char* path) {
    char host[kHostPathSize];
    if (!ToHostPath(path, host)) return Fail(EINVAL);
    struct stat st;
    if (Injected(kCallQuery)) return false;
    if (lstat(host, &st) != 0) return errno == ENOENT ? true : Fail(errno);
    if (S_ISDIR(st.st_mode)) return Fail(EISDIR);
    if (S_ISREG(st.st_mode) && IsReadOnlyMode(st.st_mode)) {
        if (Injected(kCallAttributes)) return false;
        int fd = open(host, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return Fail(errno);
        struct stat now;
        bool same = fstat(fd, &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev;
        bool ok = same && fchmod(fd, (st.st_mode & 07777) | S_IWUSR) == 0;
        int code = same ? errno : EAGAIN;
        close(fd);
        if (!ok) return Fail(code);
    }
    if (Injected(kCallDelete)) return false;
    if (unlink(host) != 0) return Fail(errno);
    NoteFileEvent(kEventDeleted, path, nullptr, -1);
    return true;
}

// Share modes have no POSIX form: only the seam makes a file look held.
ProbeResult ProbeReplace(const char* path) {
    char host[kHostPathSize];
    if (Injected(kCallOpen)) return kProbeBlocked;
    if (FaultOnLock(path)) {
        Fail(EBUSY);
        return kProbeLocked;
    }
    if (!ToHostPath(path, host)) {
        Fail(EINVAL);
        return kProbeBlocked;
    }
    struct stat st;
    if (lstat(host, &st) != 0) {
        Fail(errno);
        return errno == ENOENT ? kProbeMissing : kProbeBlocked;
    }
    if (S_ISDIR(st.st_mode)) {
        Fail(EISDIR);
        return kProbeBlocked;
    }
    return kProbeReady;
}

bool IsLockError(uint32_t code) {
    return code == EBUSY || code == ETXTBSY;
}

void PauseBriefly(uint32_t milliseconds) {
    if (FaultSkipsPause()) return;
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
    nanosleep(&ts, nullptr);
}

bool GetOwnModulePath(char* path, size_t size) {
    if (size == 0) return false;
    path[0] = 0;
    char host[kHostPathSize];
    ssize_t n = readlink("/proc/self/exe", host, sizeof(host) - 1);
    if (n <= 0) return false;
    host[n] = 0;
    if (!FromHostPath(host, path, size)) {
        path[0] = 0;
        return false;
    }
    return true;
}

uint32_t LastFileError() {
    return sLastError;
}

// No system service here tells who holds a file.
bool DescribeFileHolder(const char*, char* name, size_t size) {
    if (size) name[0] = 0;
    return false;
}
