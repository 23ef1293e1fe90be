// Shared set-up of the maintainer tool's tests: a scratch folder with a stub,
// a folder of replacement files and helpers to build and read patches.
#pragma once
#include "patch_build.h"
#include "patch_inspect.h"
#include "test_support.h"
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>

// Tool paths are UTF-8 with '/', which both platforms accept; the test
// support's file calls take the program's Shift-JIS form.
struct ToolScratch {
    ScratchFolder scratch;
    std::string Path(const std::string& utf8) const { return scratch.path + "/" + utf8; }
    bool Write(const std::string& utf8, const Bytes& data) const {
        return WriteBytes(Sjis(Path(utf8).c_str()), data);
    }
    bool Folder(const std::string& utf8) const { return MakeFolder(Sjis(Path(utf8).c_str())); }
    Bytes Read(const std::string& utf8) const {
        Bytes data;
        ReadBytes(Sjis(Path(utf8).c_str()), &data);
        return data;
    }
};

inline void PutLe32(Bytes* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        (*b)[at + i] = (unsigned char)(v >> (8 * i));
}

// UTF-16LE of ASCII text with its terminator, as a version resource holds it.
inline void PutWide(Bytes* b, size_t at, const char* ascii) {
    for (size_t i = 0; i <= strlen(ascii); i++)
        (*b)[at + 2 * i] = (unsigned char)ascii[i];
}

inline Bytes FakeStub(size_t size = 4096, uint16_t machine = 0x14C,
                      const char* originalName = "update.exe") {
    return FakeUpdateStub(size, machine, originalName);
}

// The stand-in stub with a certificate table the test places at will.
inline Bytes StubWithSecurityDirectory(uint32_t offset, uint32_t size) {
    Bytes stub = FakeStub(1024);
    PutLe32(&stub, 0x98 + 96 + 4 * 8, offset);
    PutLe32(&stub, 0x98 + 96 + 4 * 8 + 4, size);
    return stub;
}

// True when one of the lines contains needle.
inline bool Mentions(const std::vector<std::string>& lines, const std::string& needle) {
    for (const std::string& line : lines)
        if (line.find(needle) != std::string::npos) return true;
    return false;
}

inline std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines)
        all += line + "\n";
    return all;
}
