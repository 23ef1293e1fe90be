// FileObject and the file-system calls on POSIX, for the native build. Program
// paths are Shift-JIS with backslashes; they become UTF-8 with slashes here.
// Share modes have no POSIX form and are not emulated; read-only files refuse
// create, replace and delete as they would on Windows, even for root.
#include "file_faults.h"
#include "file_object.h"
#include "file_system.h"
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

const size_t kHostPathSize = 4096;

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
    if (handle != kInvalidHandle) return false;
    char host[kHostPathSize];
    if (FaultOnOpenRead(path) || !ToHostPath(path, host)) return false;
    int fd = open(host, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // Windows does not open a folder as a file.
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return false;
    }
    handle = fd;
    return true;
}

bool FileObject::Create(const char* path) {
    if (handle != kInvalidHandle) return false;
    char host[kHostPathSize];
    if (FaultOnCreate(path) || !ToHostPath(path, host)) return false;
    if (IsReadOnlyFile(host)) return false;
    int fd = open(host, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    handle = fd;
    return true;
}

uint32_t FileObject::Read(void* buffer, uint32_t count) {
    if (handle == kInvalidHandle) return 0;
    ssize_t n = read((int)handle, buffer, count);
    return n < 0 ? 0 : (uint32_t)n;
}

uint32_t FileObject::Write(const void* buffer, uint32_t count) {
    if (handle == kInvalidHandle) return 0;
    ssize_t n = write((int)handle, buffer, FaultWriteCount(count));
    return n < 0 ? 0 : (uint32_t)n;
}

// Positions of 2 GiB and above fail, as the Windows form's signed distance does.
bool FileObject::Seek(uint32_t position) {
    if (handle == kInvalidHandle || position >= 0x80000000u) return false;
    return lseek((int)handle, (off_t)position, SEEK_SET) == (off_t)position;
}

uint32_t FileObject::GetSize() {
    struct stat st;
    if (handle == kInvalidHandle || fstat((int)handle, &st) != 0) return kInvalidSize;
    return (uint32_t)((uint64_t)st.st_size & 0xFFFFFFFFu);
}

bool FileObject::Flush() {
    if (handle == kInvalidHandle) return false;
    if (FaultOnFlush()) return false;
    return fsync((int)handle) == 0;
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
    if (!ToHostPath(path, host) || stat(host, &st) != 0) return kInvalidAttributes;
    uint32_t attributes = S_ISDIR(st.st_mode) ? kAttrDirectory : 0x20;
    if (IsReadOnlyMode(st.st_mode)) attributes |= kAttrReadOnly;
    return attributes;
}

// Only the read-only bit has a POSIX form: it takes away or gives back the
// owner's write bit.
bool SetPathAttributes(const char* path, uint32_t attributes) {
    char host[kHostPathSize];
    struct stat st;
    if (!ToHostPath(path, host) || stat(host, &st) != 0) return false;
    mode_t mode = st.st_mode & 07777;
    if (attributes & kAttrReadOnly)
        mode &= ~(mode_t)(S_IWUSR | S_IWGRP | S_IWOTH);
    else if (IsReadOnlyMode(mode))
        mode |= S_IWUSR;
    return chmod(host, mode) == 0;
}

bool MoveReplace(const char* from, const char* to) {
    char hostFrom[kHostPathSize], hostTo[kHostPathSize];
    if (FaultOnMove(to) || !ToHostPath(from, hostFrom) || !ToHostPath(to, hostTo)) return false;
    if (IsReadOnlyFile(hostTo)) return false;
    return rename(hostFrom, hostTo) == 0;
}

bool DeletePath(const char* path) {
    char host[kHostPathSize];
    if (!ToHostPath(path, host) || IsReadOnlyFile(host)) return false;
    return unlink(host) == 0;
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
    return (uint32_t)errno;
}

// No system service here tells who holds a file.
bool DescribeFileHolder(const char*, char* name, size_t size) {
    if (size) name[0] = 0;
    return false;
}
