// The maintainer tool's platform services on Linux.
#include "patch_platform.h"
#include "patch_text.h"
#include "strbuf.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

std::vector<std::string> GetUtf8Arguments(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; i++)
        args.push_back(argv[i]);
    return args;
}

// The temporary file being written, for the signal handler to remove; set by
// CreateOutput, cleared by commit and abandon. A fixed buffer: the handler
// may only call async-signal-safe functions.
static char gPendingTemp[4096];
static volatile sig_atomic_t gHavePendingTemp = 0;

static void OnInterrupt(int sig) {
    if (gHavePendingTemp) unlink(gPendingTemp);
    signal(sig, SIG_DFL);
    raise(sig);
}

void InstallExitCleanup() {
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    for (int sig : signals) {
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

bool IsTerminal(FILE* out) {
    return isatty(fileno(out)) == 1;
}

OutputFile::OutputFile() : handle(-1) {}
OutputFile::~OutputFile() {
    AbandonOutput(this);
}

bool CreateOutput(const std::string& path, OutputFile* out, std::string* error) {
    AbandonOutput(out);
    out->path = path;
    out->temp = path + ".krnpatch-tmp";
    if (!CopyText(gPendingTemp, out->temp.c_str())) {
        *error = "the path " + path + " is too long";
        return false;
    }
    gHavePendingTemp = 1;
    int fd = open(out->temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (fd < 0) {
        gHavePendingTemp = 0;
        *error = "cannot create " + out->temp + ": " + strerror(errno);
        return false;
    }
    out->handle = fd;
    return true;
}

bool WriteOutput(OutputFile* out, const void* bytes, size_t size, std::string* error) {
    const unsigned char* p = (const unsigned char*)bytes;
    while (size) {
        ssize_t n = write((int)out->handle, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = "cannot write " + out->path + ": " + strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        p += n;
        size -= (size_t)n;
    }
    return true;
}

bool CommitOutput(OutputFile* out, std::string* error) {
    int fd = (int)out->handle;
    bool ok = fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    out->handle = -1;
    if (ok && rename(out->temp.c_str(), out->path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(out->temp.c_str());
        *error = "cannot write " + out->path + ": " + strerror(saved);
    }
    gHavePendingTemp = 0;
    out->temp.clear();
    return ok;
}

void AbandonOutput(OutputFile* out) {
    if (out->handle >= 0) close((int)out->handle);
    out->handle = -1;
    if (!out->temp.empty()) unlink(out->temp.c_str());
    out->temp.clear();
    gHavePendingTemp = 0;
}

EngineFilePath::EngineFilePath() : descriptor(-1) {}

EngineFilePath::~EngineFilePath() {
    if (descriptor >= 0) close(descriptor);
}

// The native file layer takes Shift-JIS and converts it back to UTF-8, and
// takes a backslash for a separator as Windows would; a path that code page
// 932 cannot hold, or whose name holds a backslash, is reached through its
// descriptor so that the file read is the file named.
bool EngineFilePath::Set(const std::string& path, std::string* error) {
    std::string reason;
    if (path.find('\\') == std::string::npos && Utf8ToSjis(path, &narrow, &reason) &&
        !narrow.empty())
        return true;
    descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    narrow = "/proc/self/fd/" + std::to_string(descriptor);
    return true;
}
