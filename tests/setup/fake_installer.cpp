// Stands in for the installer in the end-to-end tests of setup.exe. It appends
// to the file named by KRN_FAKE_LOG (UTF-8, one "key=value" per line, a block
// per run): its command line, working directory and image path, and whether
// its own image could be opened for writing, opened for deletion or renamed
// while it runs. KRN_FAKE_WAIT_MS makes it linger before it ends.
#include <windows.h>

#include <string>

static std::string Utf8(const wchar_t* w) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (bytes < 1) return std::string();
    std::string out(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &out[0], bytes, nullptr, nullptr);
    out.resize(bytes - 1);
    return out;
}

static const char* Opens(const wchar_t* path, DWORD access) {
    HANDLE h = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "denied";
    CloseHandle(h);
    return "ok";
}

static const char* Renames(const wchar_t* path) {
    std::wstring moved = std::wstring(path) + L".moved";
    if (!MoveFileW(path, moved.c_str())) return "denied";
    MoveFileW(moved.c_str(), path);
    return "ok";
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    wchar_t logPath[1024];
    DWORD n = GetEnvironmentVariableW(L"KRN_FAKE_LOG", logPath, 1024);
    if (n == 0 || n >= 1024) return 3;

    wchar_t cwd[1024] = L"";
    GetCurrentDirectoryW(1024, cwd);
    wchar_t module[1024] = L"";
    GetModuleFileNameW(nullptr, module, 1024);

    std::string block = "cmdline=" + Utf8(GetCommandLineW()) + "\n";
    block += "cwd=" + Utf8(cwd) + "\n";
    block += "module=" + Utf8(module) + "\n";
    block += std::string("write_open=") + Opens(module, GENERIC_WRITE) + "\n";
    block += std::string("delete_open=") + Opens(module, DELETE) + "\n";
    block += std::string("rename=") + Renames(module) + "\n";
    block += "end\n";

    HANDLE log = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) return 2;
    DWORD written = 0;
    WriteFile(log, block.data(), (DWORD)block.size(), &written, nullptr);
    CloseHandle(log);

    wchar_t wait[32];
    n = GetEnvironmentVariableW(L"KRN_FAKE_WAIT_MS", wait, 32);
    if (n > 0 && n < 32) Sleep((DWORD)_wtoi(wait));
    return 7; // setup does not look at it
}
