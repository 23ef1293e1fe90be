// The maintainer tool's platform services on Windows.
#include "patch_platform.h"
#include "patch_text.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

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

// The console's output code page before the tool switched it to UTF-8, put
// back at exit; 0 until the switch.
static UINT gConsoleCodePage = 0;

// The temporary file being written, for the console control handler to
// remove; set by CreateOutput, cleared by commit and abandon. The handler
// runs on its own thread, so the name is a fixed buffer.
static wchar_t gPendingTemp[32768];
static volatile LONG gHavePendingTemp = 0;

static void RestoreConsole() {
    if (gConsoleCodePage) SetConsoleOutputCP(gConsoleCodePage);
}

static BOOL WINAPI OnConsoleControl(DWORD) {
    // The file was opened for sharing deletion: it goes when the process ends.
    if (gHavePendingTemp) DeleteFileW(gPendingTemp);
    RestoreConsole();
    return FALSE; // let the default handler end the process
}

void InstallExitCleanup() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    atexit(RestoreConsole);
}

std::vector<std::string> GetUtf8Arguments(int argc, char** argv) {
    UINT previous = GetConsoleOutputCP();
    if (previous && previous != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) gConsoleCodePage = previous;
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

bool IsTerminal(FILE* out) {
    return _isatty(_fileno(out)) != 0;
}

OutputFile::OutputFile() : handle(-1) {}
OutputFile::~OutputFile() {
    AbandonOutput(this);
}

bool CreateOutput(const std::string& path, OutputFile* out, std::string* error) {
    AbandonOutput(out);
    out->path = path;
    out->temp = path + ".krnpatch-tmp";
    std::wstring temp = WideFromUtf8(out->temp);
    if (temp.empty() || temp.size() >= sizeof(gPendingTemp) / sizeof(gPendingTemp[0])) {
        *error = "cannot create " + out->temp + ": the path is too long or not UTF-8";
        out->temp.clear();
        return false;
    }
    memcpy(gPendingTemp, temp.c_str(), (temp.size() + 1) * sizeof(wchar_t));
    InterlockedExchange(&gHavePendingTemp, 1);
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        InterlockedExchange(&gHavePendingTemp, 0);
        *error = "cannot create " + out->temp + ": " + LastErrorText();
        out->temp.clear();
        return false;
    }
    out->handle = (intptr_t)h;
    return true;
}

bool WriteOutput(OutputFile* out, const void* bytes, size_t size, std::string* error) {
    const unsigned char* p = (const unsigned char*)bytes;
    while (size) {
        DWORD chunk = size > 0x1000000 ? 0x1000000 : (DWORD)size;
        DWORD done = 0;
        if (!WriteFile((HANDLE)out->handle, p, chunk, &done, nullptr) || done != chunk) {
            *error = "cannot write " + out->path + ": " + LastErrorText();
            return false;
        }
        p += chunk;
        size -= chunk;
    }
    return true;
}

bool CommitOutput(OutputFile* out, std::string* error) {
    bool ok = FlushFileBuffers((HANDLE)out->handle) != 0;
    std::string reason = ok ? std::string() : LastErrorText();
    CloseHandle((HANDLE)out->handle);
    out->handle = -1;
    std::wstring temp = WideFromUtf8(out->temp), target = WideFromUtf8(out->path);
    if (ok && !MoveFileExW(temp.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        reason = LastErrorText();
    }
    if (!ok) {
        DeleteFileW(temp.c_str());
        *error = "cannot write " + out->path + ": " + reason;
    }
    InterlockedExchange(&gHavePendingTemp, 0);
    out->temp.clear();
    return ok;
}

void AbandonOutput(OutputFile* out) {
    if (out->handle != -1) CloseHandle((HANDLE)out->handle);
    out->handle = -1;
    if (!out->temp.empty()) DeleteFileW(WideFromUtf8(out->temp).c_str());
    out->temp.clear();
    InterlockedExchange(&gHavePendingTemp, 0);
}

EngineFilePath::EngineFilePath() : descriptor(-1) {}
EngineFilePath::~EngineFilePath() {}

bool WideToCodePageExactly(unsigned codePage, const wchar_t* w, std::string* narrow) {
    // UTF-8 and UTF-7 refuse both the best-fit flag and the default-character
    // report; invalid text is caught by WC_ERR_INVALID_CHARS instead.
    bool utf = codePage == CP_UTF8 || codePage == CP_UTF7;
    DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : utf ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* report = utf ? nullptr : &usedDefault;
    int n = WideCharToMultiByte(codePage, flags, w, -1, nullptr, 0, nullptr, report);
    if (n <= 0 || usedDefault) return false;
    std::string s((size_t)n, '\0');
    if (WideCharToMultiByte(codePage, flags, w, -1, &s[0], n, nullptr, report) != n || usedDefault)
        return false;
    s.resize((size_t)n - 1);
    *narrow = s;
    return true;
}

// The file layer opens narrow paths in the ANSI code page (65001 on a system
// set to UTF-8); a path that code page cannot hold goes by its short name,
// which is ASCII when one exists.
static bool ToAnsiExactly(const std::wstring& w, std::string* narrow) {
    return WideToCodePageExactly(GetACP(), w.c_str(), narrow);
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
