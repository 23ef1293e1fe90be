// The maintainer tool's platform services on Windows.
#include "patch_platform.h"
#include "patch_text.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

// The wide forms the W calls want, through the tool's own conversion.
static std::string Utf8FromWide(const wchar_t* w) {
    std::string s;
    WideToText(kCodePageUtf8, w, &s);
    return s;
}

static std::wstring WideFromUtf8(const std::string& s) {
    std::vector<WideChar> w;
    return TextToWide(kCodePageUtf8, s, &w) ? std::wstring(w.data()) : std::wstring();
}

static std::string LastErrorText() {
    DWORD code = GetLastError();
    wchar_t text[256];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof(text) / sizeof(text[0]), nullptr);
    while (n && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' '))
        n--;
    text[n] = 0;
    return n ? Utf8FromWide(text) : "error " + std::to_string((unsigned long)code);
}

std::vector<std::string> GetUtf8Arguments(int argc, char** argv) {
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> args;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) {
        for (int i = 0; i < argc; i++)
            args.push_back(argv[i]);
        return args;
    }
    for (int i = 0; i < count; i++)
        args.push_back(Utf8FromWide(wide[i]));
    LocalFree(wide);
    return args;
}

bool ReplaceFileWith(const std::string& path, const unsigned char* bytes, size_t size,
                     std::string* error) {
    std::wstring target = WideFromUtf8(path);
    std::wstring temp = target + L".krnpatch-tmp";
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = "cannot create " + path + ".krnpatch-tmp: " + LastErrorText();
        return false;
    }
    bool ok = true;
    while (ok && size) {
        DWORD chunk = size > 0x1000000 ? 0x1000000 : (DWORD)size;
        DWORD done = 0;
        ok = WriteFile(h, bytes, chunk, &done, nullptr) && done == chunk;
        bytes += chunk;
        size -= chunk;
    }
    ok = ok && FlushFileBuffers(h);
    std::string reason = ok ? std::string() : LastErrorText();
    CloseHandle(h);
    if (ok && !MoveFileExW(temp.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        reason = LastErrorText();
    }
    if (!ok) {
        DeleteFileW(temp.c_str());
        *error = "cannot write " + path + ": " + reason;
    }
    return ok;
}

EngineFilePath::EngineFilePath() : descriptor(-1) {}
EngineFilePath::~EngineFilePath() {}

// The file layer opens narrow paths in the ANSI code page; a path that code
// page cannot hold goes by its short name, which is ASCII when one exists.
static bool ToAnsiExactly(const std::wstring& w, std::string* narrow) {
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), -1, nullptr, 0, nullptr,
                                &usedDefault);
    if (n <= 0 || usedDefault) return false;
    std::string s((size_t)n, '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), -1, &s[0], n, nullptr,
                        &usedDefault);
    if (usedDefault) return false;
    s.resize((size_t)n - 1);
    *narrow = s;
    return true;
}

bool EngineFilePath::Set(const std::string& path, std::string* error) {
    std::wstring wide = WideFromUtf8(path);
    if (!wide.empty() && ToAnsiExactly(wide, &narrow)) return true;
    wchar_t shortName[MAX_PATH];
    DWORD n = GetShortPathNameW(wide.c_str(), shortName, MAX_PATH);
    if (n && n < MAX_PATH && ToAnsiExactly(shortName, &narrow)) return true;
    *error = "cannot open " + path +
             " through the updater's file layer (its name does not fit the ANSI code page); "
             "copy it to a plainer path";
    return false;
}
