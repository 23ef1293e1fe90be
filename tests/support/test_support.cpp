// Scratch folders and whole-file I/O for the tests, done with the platform's
// own calls so that they do not depend on the file layer under test.
#include "test_support.h"

#include <algorithm>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

static unsigned gScratchCounter; // makes the folders of one process distinct

#ifdef _WIN32

static std::string HostPath(const std::string& path) {
    return path;
}
static std::string ProgramName(const char* name) {
    return name;
}

static bool IsFolder(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

static std::string TempRoot() {
    char buf[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof buf, buf);
    if (n == 0 || n >= sizeof buf) return "C:\\";
    std::string s(buf, n);
    if (!s.empty() && (s.back() == '\\' || s.back() == '/')) s.pop_back();
    return s;
}

static std::vector<std::string> RawList(const std::string& path) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((path + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if (strcmp(fd.cFileName, ".") != 0 && strcmp(fd.cFileName, "..") != 0)
            names.push_back(fd.cFileName);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return names;
}

// Read-only entries would refuse deletion, so their attributes go first.
static void RemoveTree(const std::string& path) {
    for (const std::string& name : RawList(path)) {
        std::string child = path + "\\" + name;
        SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (IsFolder(child))
            RemoveTree(child);
        else
            DeleteFileA(child.c_str());
    }
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA(path.c_str());
}

bool MakeFolder(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

static unsigned ProcessId() {
    return (unsigned)GetCurrentProcessId();
}

std::string Sjis(const char* utf8) {
    int units = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (units < 1) return std::string();
    std::vector<wchar_t> wide(units);
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide.data(), units);
    int bytes = WideCharToMultiByte(932, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes < 1) return std::string();
    std::vector<char> out(bytes);
    WideCharToMultiByte(932, 0, wide.data(), -1, out.data(), bytes, nullptr, nullptr);
    return std::string(out.data());
}

#else

// Converts a whole string with iconv; false when any byte has no mapping.
static bool Convert(const char* to, const char* from, const std::string& in, std::string* out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1) return false;
    std::vector<char> buf(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = buf.data();
    size_t dstLeft = buf.size();
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (r == (size_t)-1) return false;
    out->assign(buf.data(), buf.size() - dstLeft);
    return true;
}

// Program paths are Shift-JIS with backslashes; the host wants UTF-8 with
// slashes. Converting first keeps a 0x5C trail byte from becoming a slash.
static std::string HostPath(const std::string& path) {
    std::string host;
    if (!Convert("UTF-8", "CP932", path, &host)) host = path;
    std::replace(host.begin(), host.end(), '\\', '/');
    return host;
}

static std::string ProgramName(const char* name) {
    std::string sjis;
    if (!Convert("CP932", "UTF-8", name, &sjis)) sjis = name;
    return sjis;
}

static std::string TempRoot() {
    const char* t = getenv("TMPDIR");
    std::string s = (t && *t) ? t : "/tmp";
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

// Names as the host spells them (UTF-8).
static std::vector<std::string> RawList(const std::string& host) {
    std::vector<std::string> names;
    DIR* d = opendir(host.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    return names;
}

static void RemoveTree(const std::string& host) {
    for (const std::string& name : RawList(host)) {
        std::string child = host + "/" + name;
        struct stat st;
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            RemoveTree(child);
        else
            unlink(child.c_str());
    }
    rmdir(host.c_str());
}

bool MakeFolder(const std::string& path) {
    return mkdir(HostPath(path).c_str(), 0777) == 0;
}

bool PathExists(const std::string& path) {
    struct stat st;
    return stat(HostPath(path).c_str(), &st) == 0;
}

static unsigned ProcessId() {
    return (unsigned)getpid();
}

std::string Sjis(const char* utf8) {
    std::string out;
    if (!Convert("CP932", "UTF-8", utf8, &out)) return std::string();
    return out;
}

#endif

ScratchFolder::ScratchFolder() {
    std::string root = TempRoot();
    for (int attempt = 0; attempt < 1000; attempt++) {
        char name[64];
        snprintf(name, sizeof name, "krntest-%u-%u", ProcessId(), ++gScratchCounter);
        std::string candidate = root + (root.find('\\') != std::string::npos ? "\\" : "/") + name;
        if (MakeFolder(candidate)) {
            path = candidate;
            return;
        }
    }
}

ScratchFolder::~ScratchFolder() {
    if (!path.empty()) RemoveTree(HostPath(path));
}

std::string ScratchFolder::Join(const std::string& relative) const {
    return path + "\\" + relative;
}

bool WriteBytes(const std::string& path, const Bytes& data) {
    FILE* f = fopen(HostPath(path).c_str(), "wb");
    if (!f) return false;
    bool ok = data.empty() || fwrite(data.data(), 1, data.size(), f) == data.size();
    if (fclose(f) != 0) ok = false;
    return ok;
}

bool WriteText(const std::string& path, const std::string& text) {
    return WriteBytes(path, ToBytes(text));
}

bool ReadBytes(const std::string& path, Bytes* data) {
    data->clear();
    FILE* f = fopen(HostPath(path).c_str(), "rb");
    if (!f) return false;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        data->insert(data->end(), buf, buf + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

std::string ReadText(const std::string& path) {
    Bytes data;
    if (!ReadBytes(path, &data)) return std::string();
    return std::string(data.begin(), data.end());
}

std::vector<std::string> ListFolder(const std::string& path) {
    std::vector<std::string> names;
    for (const std::string& raw : RawList(HostPath(path)))
        names.push_back(ProgramName(raw.c_str()));
    std::sort(names.begin(), names.end());
    return names;
}

Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes PatternBytes(size_t size, unsigned seed) {
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    if (x == 0) x = 1; // xorshift stays at zero forever
    for (size_t i = 0; i < size; i++) {
        // xorshift32: cheap, and no run of equal bytes that could hide an offset fault
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = (unsigned char)(x >> 24);
    }
    return out;
}

WriterEntry PatternEntry(const std::string& name, const std::string& listPath, size_t size,
                         unsigned seed) {
    WriterEntry e;
    e.name = name;
    e.listPath = listPath;
    e.data = PatternBytes(size, seed);
    return e;
}

Bytes FakeUpdateStub(size_t size, uint16_t machine, const char* originalName) {
    Bytes stub(size, 0);
    auto put32 = [&stub](size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++)
            stub[at + i] = (unsigned char)(v >> (8 * i));
    };
    // UTF-16LE of ASCII text with its terminator, as a version resource holds it.
    auto putWide = [&stub](size_t at, const char* ascii) {
        for (size_t i = 0; i <= strlen(ascii); i++)
            stub[at + 2 * i] = (unsigned char)ascii[i];
    };
    stub[0] = 'M';
    stub[1] = 'Z';
    put32(0x3C, 0x80);
    memcpy(&stub[0x80], "PE\0\0", 4);
    stub[0x84] = (unsigned char)machine;
    stub[0x85] = (unsigned char)(machine >> 8);
    stub[0x94] = 0xE0; // optional header of 224 bytes
    stub[0x98] = 0x0B; // PE32
    stub[0x99] = 0x01;
    putWide(0x206, "OriginalFilename");
    putWide(0x206 + 34, originalName);
    return stub;
}
