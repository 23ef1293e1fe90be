// Helpers shared by the test suites: scratch folders and whole-file I/O that
// go around the code under test. Paths are in the program's form (narrow
// Shift-JIS, backslashes accepted on every platform).
#pragma once
#include "package_writer.h"
#include <stdint.h>
#include <string>
#include <vector>

typedef std::vector<unsigned char> Bytes;

// A new empty folder under the system temp folder; removed with its contents
// when the object dies.
struct ScratchFolder {
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::string path;                                    // no trailing separator
    std::string Join(const std::string& relative) const; // path + "\" + relative
};

bool WriteBytes(const std::string& path, const Bytes& data);
bool WriteText(const std::string& path, const std::string& text);
bool ReadBytes(const std::string& path, Bytes* data);
std::string ReadText(const std::string& path); // empty when missing
bool PathExists(const std::string& path);
bool MakeFolder(const std::string& path);
// Names in a folder (no "." or ".."), sorted.
std::vector<std::string> ListFolder(const std::string& path);
Bytes ToBytes(const std::string& s);
// Deterministic pseudo-random content.
Bytes PatternBytes(size_t size, unsigned seed);
// The Shift-JIS form of a UTF-8 literal, converted independently of the code under test.
std::string Sjis(const char* utf8);
// A package entry of size pattern bytes; listPath empty leaves it out of the list.
WriterEntry PatternEntry(const std::string& name, const std::string& listPath, size_t size,
                         unsigned seed);
// A stand-in for update.exe that the tool takes for it: PE headers at 0x80
// for the machine, no sections, and the version resource's original file name
// at 0x200 (6 bytes into its String block, as the resource compiler lays it out).
Bytes FakeUpdateStub(size_t size, uint16_t machine = 0x14C,
                     const char* originalName = "update.exe");
