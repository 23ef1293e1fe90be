// The maintainer tool's few platform services: arguments and console in
// UTF-8, output written through a flushed temporary file, and a path
// the updater's narrow file layer can open.
#pragma once
#include <stdint.h>
#include <stdio.h>
#include <string>
#include <vector>

// The command line as UTF-8 (on Windows from the wide command line, so any
// file name survives); also switches the console to UTF-8 output.
std::vector<std::string> GetUtf8Arguments(int argc, char** argv);

// Puts back what the tool changed in the console (its code page) and
// removes the output being written when the tool is interrupted (Ctrl+C, a
// closed console, a signal). Called once at start-up.
void InstallExitCleanup();

// True when out is a terminal (a console on Windows): progress is shown
// there only, never into a file or a pipe.
bool IsTerminal(FILE* out);

// A file written through a temporary beside it: nothing appears under path
// until CommitOutput, and an interrupted or failed write leaves nothing.
// One output at a time per process (the interrupt clean-up knows only one).
struct OutputFile {
    OutputFile();
    ~OutputFile(); // abandons an output not committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    std::string path, temp;
    intptr_t handle; // descriptor or HANDLE; -1 when closed
};
bool CreateOutput(const std::string& path, OutputFile* out, std::string* error);
bool WriteOutput(OutputFile* out, const void* bytes, size_t size, std::string* error);
// Flushes the temporary to disk and renames it over path.
bool CommitOutput(OutputFile* out, std::string* error);
void AbandonOutput(OutputFile* out);

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

#ifdef _WIN32
// Wide text in the code page, refusing any character it cannot hold; the
// flags differ for UTF-8, which refuses the ones the other code pages take.
bool WideToCodePageExactly(unsigned codePage, const wchar_t* w, std::string* narrow);
#endif
