// The maintainer tool's platform services on Linux.
#include "patch_platform.h"
#include "patch_text.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

std::vector<std::string> GetUtf8Arguments(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; i++)
        args.push_back(argv[i]);
    return args;
}

static bool WriteAll(int fd, const unsigned char* bytes, size_t size) {
    while (size) {
        ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= (size_t)n;
    }
    return true;
}

bool ReplaceFileWith(const std::string& path, const unsigned char* bytes, size_t size,
                     std::string* error) {
    std::string temp = path + ".krnpatch-tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (fd < 0) {
        *error = "cannot create " + temp + ": " + strerror(errno);
        return false;
    }
    bool ok = WriteAll(fd, bytes, size) && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        *error = "cannot write " + path + ": " + strerror(saved);
    }
    return ok;
}

EngineFilePath::EngineFilePath() : descriptor(-1) {}

EngineFilePath::~EngineFilePath() {
    if (descriptor >= 0) close(descriptor);
}

// The native file layer takes Shift-JIS and converts it back to UTF-8; a
// path that code page 932 cannot hold is reached through its descriptor.
bool EngineFilePath::Set(const std::string& path, std::string* error) {
    std::string reason;
    if (Utf8ToSjis(path, &narrow, &reason) && !narrow.empty()) return true;
    descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    narrow = "/proc/self/fd/" + std::to_string(descriptor);
    return true;
}
