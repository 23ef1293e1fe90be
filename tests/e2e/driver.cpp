// The test driver's calls on the program under test (see driver.h).
#include "driver.h"
#include <stdio.h>
#include <string.h>

std::string Utf8FromWide(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), NULL, 0, NULL, NULL);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &out[0], n, NULL, NULL);
    return out;
}

std::wstring WideFromAnsi(const std::string& ansi) {
    if (ansi.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), (int)ansi.size(), NULL, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), (int)ansi.size(), &out[0], n);
    return out;
}

std::string SjisFromWide(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    int n = WideCharToMultiByte(932, 0, wide.data(), (int)wide.size(), NULL, 0, NULL, NULL);
    std::string out(n, '\0');
    WideCharToMultiByte(932, 0, wide.data(), (int)wide.size(), &out[0], n, NULL, NULL);
    return out;
}

static std::wstring WindowTextWide(HWND window) {
    WCHAR buf[2048];
    int n = InternalGetWindowText(window, buf, 2048);
    return std::wstring(buf, n > 0 ? n : 0);
}

std::string WindowTextUtf8(HWND window) {
    return Utf8FromWide(WindowTextWide(window));
}
std::string WindowTextSjis(HWND window) {
    return SjisFromWide(WindowTextWide(window));
}

std::string OwnFolder() {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, self, MAX_PATH);
    std::string path(self, n);
    return path.substr(0, path.find_last_of("\\/"));
}

std::string WinePathFromHost(const char* hostPath) {
    std::string path = hostPath;
    if (path.empty() || path[0] != '/') return path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return "Z:" + path;
}

std::string BuiltUpdateExe() {
    return WinePathFromHost(KRN_UPDATE_EXE);
}

bool IsOwnWidthProgram(const std::string& exe, std::string* why) {
#ifdef _WIN64
    const WORD wantMachine = IMAGE_FILE_MACHINE_AMD64, wantMagic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    const char* want = "PE32+ for x64";
#else
    const WORD wantMachine = IMAGE_FILE_MACHINE_I386, wantMagic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
    const char* want = "PE32 for i386";
#endif
    unsigned char head[1024] = {};
    DWORD got = 0;
    HANDLE file = CreateFileA(exe.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        ReadFile(file, head, sizeof head, &got, NULL);
        CloseHandle(file);
    }
    char reason[160];
    DWORD pe =
        got >= 0x40 ? head[0x3C] | head[0x3D] << 8 | head[0x3E] << 16 | (DWORD)head[0x3F] << 24 : 0;
    if (got < 0x40 || head[0] != 'M' || head[1] != 'Z' || pe > got - 26 ||
        memcmp(head + pe, "PE\0\0", 4) != 0) {
        snprintf(reason, sizeof reason, "not a PE image (read %lu bytes)", (unsigned long)got);
    } else {
        WORD machine = (WORD)(head[pe + 4] | head[pe + 5] << 8);
        WORD magic = (WORD)(head[pe + 24] | head[pe + 25] << 8);
        if (machine == wantMachine && magic == wantMagic) return true;
        snprintf(reason, sizeof reason, "machine 0x%04X, optional header 0x%03X, not %s", machine,
                 magic, want);
    }
    if (why) *why = reason;
    return false;
}

static void CloseIf(HANDLE* h) {
    if (*h) CloseHandle(*h);
    *h = NULL;
}

// The hook DLL finds the log and the events by the program's process id.
static bool InstallHook(ChildProcess* child, const std::string& hookDll) {
    WCHAR name[64];
    HookObjectName(name, L"map", child->pid);
    child->mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(HookShared), name);
    if (!child->mapping) return false;
    child->log =
        (HookShared*)MapViewOfFile(child->mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(HookShared));
    if (!child->log) return false;
    child->log->count = 0;
    child->log->pauseAtOverall = -1;
    HookObjectName(name, L"paused", child->pid);
    child->pausedEvent = CreateEventW(NULL, FALSE, FALSE, name);
    HookObjectName(name, L"resume", child->pid);
    child->resumeEvent = CreateEventW(NULL, FALSE, FALSE, name);
    child->hookModule = LoadLibraryA(hookDll.c_str());
    if (!child->hookModule) return false;
    FARPROC proc = GetProcAddress(child->hookModule, "CallWndHook");
    if (!proc) return false;
    HOOKPROC hookProc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(proc));
    // Wine may not know the new thread's queue at once: a few tries, 25 ms apart.
    for (int tries = 0; tries < 40 && !child->hook; tries++) {
        if (tries) Sleep(25);
        child->hook = SetWindowsHookExW(WH_CALLWNDPROCRET, hookProc, child->hookModule, child->tid);
    }
    return child->hook != NULL;
}

bool StartProgram(const std::string& exe, ChildProcess* child, const std::string& hookDll) {
    std::string why;
    if (!IsOwnWidthProgram(exe, &why)) {
        fprintf(stderr, "refusing to start %s: %s\n", exe.c_str(), why.c_str());
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return false;
    }
    std::string folder = exe;
    size_t slash = folder.find_last_of("\\/");
    folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
    std::string commandLine = "\"" + exe + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    // The program file was just renamed into place; under Wine a start right
    // after can fail while the previous run's image is let go. A few tries.
    bool started = false;
    for (int tries = 0; tries < 5 && !started; tries++) {
        if (tries) Sleep(200);
        started = CreateProcessA(exe.c_str(), &commandLine[0], NULL, NULL, FALSE, CREATE_SUSPENDED,
                                 NULL, folder.c_str(), &startup, &info) != 0;
    }
    if (!started) return false;
    child->process = info.hProcess;
    child->thread = info.hThread;
    child->pid = info.dwProcessId;
    child->tid = info.dwThreadId;
    if (!hookDll.empty() && !InstallHook(child, hookDll)) {
        EndProgram(child);
        return false;
    }
    ResumeThread(child->thread);
    return true;
}

bool IsRunning(const ChildProcess& child) {
    return child.process && WaitForSingleObject(child.process, 0) == WAIT_TIMEOUT;
}

bool WaitForExit(ChildProcess* child, DWORD timeoutMs, DWORD* exitCode) {
    if (WaitForSingleObject(child->process, timeoutMs) != WAIT_OBJECT_0) return false;
    return GetExitCodeProcess(child->process, exitCode) != 0;
}

void EndProgram(ChildProcess* child) {
    if (child->resumeEvent) SetEvent(child->resumeEvent); // never leave it stuck in the hook
    if (IsRunning(*child)) {
        TerminateProcess(child->process, 0xDEAD);
        WaitForSingleObject(child->process, 5000);
    }
    if (child->hook) UnhookWindowsHookEx(child->hook);
    child->hook = NULL;
    if (child->hookModule) FreeLibrary(child->hookModule);
    child->hookModule = NULL;
    if (child->log) UnmapViewOfFile(child->log);
    child->log = nullptr;
    CloseIf(&child->mapping);
    CloseIf(&child->pausedEvent);
    CloseIf(&child->resumeEvent);
    CloseIf(&child->thread);
    CloseIf(&child->process);
}

struct WindowSearch {
    DWORD pid;
    std::vector<HWND>* found;
};

static BOOL CALLBACK CollectWindow(HWND window, LPARAM data) {
    WindowSearch* search = (WindowSearch*)data;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && IsWindowVisible(window)) search->found->push_back(window);
    return TRUE;
}

std::vector<HWND> ProcessWindows(DWORD pid) {
    std::vector<HWND> found;
    WindowSearch search = {pid, &found};
    EnumWindows(CollectWindow, (LPARAM)&search);
    return found;
}

static bool IsDialogClass(HWND window) {
    char name[64];
    return GetClassNameA(window, name, sizeof name) && lstrcmpA(name, "#32770") == 0;
}

bool IsMessageBox(HWND window) {
    return IsDialogClass(window) && GetDlgItem(window, 0xFFFF) != NULL;
}

static bool HasVisibleButton(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    return button && IsWindowVisible(button);
}

// The icon a message box was given, as the hook recognised it.
static std::string IconKindFromLog(const ChildProcess& child, HWND box) {
    if (!child.log) return "other";
    std::string kind = "other";
    for (const HookRecord& r : HookLog(child)) {
        if (r.message != STM_SETICON || r.parent != (ULONG64)(ULONG_PTR)box) continue;
        switch (r.lParam) {
        case kIconWarning:
            kind = "warning";
            break;
        case kIconInformation:
            kind = "information";
            break;
        case kIconQuestion:
            kind = "question";
            break;
        default:
            kind = "other";
        }
    }
    return kind;
}

bool ReadMessageBox(const ChildProcess& child, HWND window, MessageBoxInfo* box) {
    if (!IsMessageBox(window)) return false;
    box->window = window;
    box->owner = GetWindow(window, GW_OWNER);
    HWND text = GetDlgItem(window, 0xFFFF);
    box->caption = WindowTextUtf8(window);
    box->captionSjis = WindowTextSjis(window);
    box->text = WindowTextUtf8(text);
    box->textSjis = WindowTextSjis(text);
    std::string icon = IconKindFromLog(child, window);
    if (HasVisibleButton(window, IDYES) && HasVisibleButton(window, IDNO))
        box->kind = icon == "other" || icon == "question" ? "question" : "question/" + icon;
    else
        box->kind = icon;
    return true;
}

std::vector<MessageBoxInfo> OpenMessageBoxes(const ChildProcess& child) {
    std::vector<MessageBoxInfo> boxes;
    for (HWND window : ProcessWindows(child.pid)) {
        MessageBoxInfo box;
        if (ReadMessageBox(child, window, &box)) boxes.push_back(box);
    }
    return boxes;
}

HWND FindProgressDialog(DWORD pid) {
    for (HWND window : ProcessWindows(pid))
        if (IsDialogClass(window) && GetDlgItem(window, 1002)) return window;
    return NULL;
}

bool ClickButton(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    return button && PostMessageW(button, BM_CLICK, 0, 0);
}

void PressKey(HWND window, UINT virtualKey) {
    UINT scan = MapVirtualKeyW(virtualKey, 0);
    PostMessageW(window, WM_KEYDOWN, virtualKey, 1 | (scan << 16));
    PostMessageW(window, WM_KEYUP, virtualKey, 1 | (scan << 16) | 0xC0000000u);
}

HWND FocusWindow(const ChildProcess& child) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(child.tid, &info)) return NULL;
    return info.hwndFocus;
}

void PostClose(HWND window) {
    PostMessageW(window, WM_CLOSE, 0, 0);
}
void PostQuit(const ChildProcess& child) {
    PostThreadMessageW(child.tid, WM_QUIT, 0, 0);
}
void PostCommand(HWND window, WORD id, WORD code) {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, code), 0);
}
void PostSysCommand(HWND window, WPARAM command) {
    PostMessageW(window, WM_SYSCOMMAND, command, 0);
}

void SuspendProgram(const ChildProcess& child) {
    SuspendThread(child.thread);
}
void ResumeProgram(const ChildProcess& child) {
    ResumeThread(child.thread);
}

void ArmPause(ChildProcess* child, LONG overallValue) {
    if (child->log) child->log->pauseAtOverall = overallValue;
}

bool WaitForPause(const ChildProcess& child, DWORD timeoutMs) {
    HANDLE both[2] = {child.pausedEvent, child.process};
    return WaitForMultipleObjects(2, both, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

void ResumeFromPause(const ChildProcess& child) {
    SetEvent(child.resumeEvent);
}

std::vector<HookRecord> HookLog(const ChildProcess& child) {
    std::vector<HookRecord> records;
    if (!child.log) return records;
    LONG n = child.log->count;
    if (n > kHookMaxRecords) n = kHookMaxRecords;
    records.assign(child.log->records, child.log->records + n);
    return records;
}

HANDLE HoldMutex(const char* name) {
    return CreateMutexA(NULL, TRUE, name);
}

#ifdef _WIN64
static const REGSAM kProgramView = KEY_WOW64_64KEY;
#else
static const REGSAM kProgramView = KEY_WOW64_32KEY;
#endif

// "Software\TARNVALE\クイルミア"
static const wchar_t kInstallKey[] = L"Software\\TARNVALE\\\x30AF\x30A4\x30EB\x30DF\x30A2";

bool SetInstallFolderRaw(const void* data, DWORD size, DWORD type) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInstallKey, 0, NULL, 0, KEY_SET_VALUE | kProgramView,
                        NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(key, L"InstalledFolder", 0, type, (const BYTE*)data, size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool SetInstallFolder(const std::wstring& path, DWORD type) {
    return SetInstallFolderRaw(path.c_str(), (DWORD)((path.size() + 1) * sizeof(wchar_t)), type);
}

bool ClearInstallFolder() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallKey, 0, KEY_SET_VALUE | kProgramView, &key) !=
        ERROR_SUCCESS)
        return true; // no key, no value
    LONG status = RegDeleteValueW(key, L"InstalledFolder");
    RegCloseKey(key);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

void UseUnmanagedWindows() {
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", 0, NULL, 0, KEY_SET_VALUE,
                        NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, L"Managed", 0, REG_SZ, (const BYTE*)L"N", 2 * sizeof(wchar_t));
    RegCloseKey(key);
}
