// The maintainer tool's few platform services: arguments and console in
// UTF-8, whole-file replacement through a flushed temporary file, and a path
// the updater's narrow file layer can open.
#pragma once
#include <string>
#include <vector>

// The command line as UTF-8 (on Windows from the wide command line, so any
// file name survives); also switches the console to UTF-8 output.
std::vector<std::string> GetUtf8Arguments(int argc, char** argv);

// Writes bytes to a temporary file beside path, flushes it to disk and
// renames it over path. On failure nothing is left behind and path is as it
// was; error says why.
bool ReplaceFileWith(const std::string& path, const unsigned char* bytes, size_t size,
                     std::string* error);

// A narrow path under which the updater's FileObject opens the file at path
// (UTF-8). Holds whatever that needs (an open descriptor, a short name) until
// it dies.
struct EngineFilePath {
    EngineFilePath();
    ~EngineFilePath();
    EngineFilePath(const EngineFilePath&) = delete;
    EngineFilePath& operator=(const EngineFilePath&) = delete;
    bool Set(const std::string& path, std::string* error);
    std::string narrow;
    int descriptor; // POSIX: kept open when the path needs /proc/self/fd
};
