// Who holds a file open, for the support log: the Restart Manager names the
// programs, where the system has one and it answers.
#include "file_system.h"
#include <windows.h>
#include <restartmanager.h>
#include <stdio.h>
#include <string.h>

typedef DWORD(WINAPI* RmStartSessionFn)(DWORD*, DWORD, WCHAR*);
typedef DWORD(WINAPI* RmRegisterResourcesFn)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT,
                                             LPCWSTR*);
typedef DWORD(WINAPI* RmGetListFn)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);
typedef DWORD(WINAPI* RmEndSessionFn)(DWORD);

// Holders named at most; a file is rarely held by more.
const UINT kMaxHolders = 4;

template <typename Fn> static Fn Find(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// rstrtmgr.dll is no known DLL: imported at load time it would be looked for
// beside update.exe first. So it is loaded on first use by its full path in
// the system folder and kept to the end; null where it is missing.
static HMODULE LoadRestartManager() {
    static HMODULE module;
    static bool tried;
    if (tried) return module;
    tried = true;
    const wchar_t kName[] = L"\\rstrtmgr.dll";
    wchar_t path[MAX_PATH + sizeof kName / sizeof kName[0]];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return NULL;
    memcpy(path + length, kName, sizeof kName);
    module = LoadLibraryW(path);
    return module;
}

// "name (process 1234), name (process 5678)" in Shift-JIS, cut to size.
static void DescribeHolders(const RM_PROCESS_INFO* holders, UINT count, char* name, size_t size) {
    size_t used = 0;
    for (UINT i = 0; i < count && used + 1 < size; i++) {
        char app[2 * CCH_RM_MAX_APP_NAME + 2];
        // Characters code page 932 lacks become '?', the name still tells.
        if (!WideCharToMultiByte(932, 0, holders[i].strAppName, -1, app, sizeof app, NULL, NULL))
            app[0] = 0;
        int n = snprintf(name + used, size - used, "%s%s (process %lu)", i ? ", " : "",
                         app[0] ? app : "?", holders[i].Process.dwProcessId);
        if (n < 0) break;
        used += (size_t)n;
    }
}

static bool AskRestartManager(const char* path, char* name, size_t size) {
    HMODULE rm = LoadRestartManager();
    if (!rm) return false;
    RmStartSessionFn startSession = Find<RmStartSessionFn>(rm, "RmStartSession");
    RmRegisterResourcesFn registerResources =
        Find<RmRegisterResourcesFn>(rm, "RmRegisterResources");
    RmGetListFn getList = Find<RmGetListFn>(rm, "RmGetList");
    RmEndSessionFn endSession = Find<RmEndSessionFn>(rm, "RmEndSession");
    if (!startSession || !registerResources || !getList || !endSession) return false;

    // Read in the ANSI code page, as the A file calls read the same path.
    wchar_t widePath[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, widePath, MAX_PATH))
        return false;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (startSession(&session, 0, key) != ERROR_SUCCESS) return false;
    LPCWSTR files[1] = {widePath};
    RM_PROCESS_INFO holders[kMaxHolders];
    UINT needed = 0, count = kMaxHolders;
    DWORD reasons = 0;
    bool found = false;
    if (registerResources(session, 1, files, 0, NULL, 0, NULL) == ERROR_SUCCESS) {
        DWORD status = getList(session, &needed, &count, holders, &reasons);
        if (status == ERROR_SUCCESS && count > 0 && count <= kMaxHolders) {
            DescribeHolders(holders, count, name, size);
            found = true;
        } else if (status == ERROR_MORE_DATA && needed > 0) {
            snprintf(name, size, "%u programs", needed);
            found = true;
        }
    }
    endSession(session);
    return found;
}

// The Restart Manager sets its own last errors; the caller's stays as it was.
bool DescribeFileHolder(const char* path, char* name, size_t size) {
    if (!name || size == 0) return false;
    name[0] = 0;
    if (!path || !path[0]) return false;
    DWORD saved = GetLastError();
    bool found = AskRestartManager(path, name, size);
    if (!found) name[0] = 0;
    SetLastError(saved);
    return found;
}
