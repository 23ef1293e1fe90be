// Exclusion patterns and byte comparison for choosing a patch's files.
#include "file_selection.h"

#include <filesystem>
#include <fstream>
#include <string.h>

namespace fs = std::filesystem;

const char* const kDefaultExcludes[] = {"Thumbs.db", "desktop.ini", ".DS_Store", "._*",  ".git",
                                        ".svn",      ".hg",         "*~",        "*.swp"};
const size_t kDefaultExcludeCount = sizeof(kDefaultExcludes) / sizeof(kDefaultExcludes[0]);

static char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c + 32) : c;
}

// Glob over [p, pEnd) and [s, sEnd), backtracking on the last '*' only.
static bool Glob(const char* p, const char* pEnd, const char* s, const char* sEnd) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (s < sEnd) {
        if (p < pEnd && *p == '*') {
            star = p++;
            resume = s;
        } else if (p < pEnd && *s != '/' && (*p == '?' || Lower(*p) == Lower(*s))) {
            p++;
            s++;
        } else if (p < pEnd && *p == '/' && *s == '/') {
            p++;
            s++;
        } else if (star && *resume != '/') {
            p = star + 1;
            s = ++resume;
        } else {
            return false;
        }
    }
    while (p < pEnd && *p == '*')
        p++;
    return p == pEnd;
}

bool MatchesExclude(const std::string& pattern, const std::string& relative) {
    const char* p = pattern.data();
    if (pattern.find('/') != std::string::npos)
        return Glob(p, p + pattern.size(), relative.data(), relative.data() + relative.size());
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        if (Glob(p, p + pattern.size(), relative.data() + start, relative.data() + end))
            return true;
        start = end + 1;
    }
    return false;
}

const std::string* FindExclude(const std::vector<std::string>& patterns,
                               const std::string& relative) {
    for (const std::string& pattern : patterns)
        if (MatchesExclude(pattern, relative)) return &pattern;
    return nullptr;
}

bool SameFileBytes(const std::string& a, const std::string& b) {
    std::error_code ec1, ec2;
    uintmax_t sizeA = fs::file_size(fs::u8path(a), ec1), sizeB = fs::file_size(fs::u8path(b), ec2);
    if (ec1 || ec2 || sizeA != sizeB) return false;
    std::ifstream inA(fs::u8path(a), std::ios::binary), inB(fs::u8path(b), std::ios::binary);
    std::vector<char> chunkA(1 << 20), chunkB(1 << 20);
    while (inA && inB) {
        inA.read(chunkA.data(), (std::streamsize)chunkA.size());
        inB.read(chunkB.data(), (std::streamsize)chunkB.size());
        if (inA.gcount() != inB.gcount() ||
            memcmp(chunkA.data(), chunkB.data(), (size_t)inA.gcount()) != 0)
            return false;
    }
    return inA.eof() && inB.eof();
}
