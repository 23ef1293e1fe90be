// Entry point of update.exe: the single-instance and game guards, the title,
// the install folder, the user's consent, the progress dialog around the
// update, and the one message that reports the outcome.
#include "dialog.h"
#include "file_system.h"
#include "install_folder.h"
#include "messages.h"
#include "monitors.h"
#include "package.h"
#include "resource.h"
#include "result_codes.h"
#include "run_log.h"
#include "strbuf.h"
#include "update_procedure.h"
#include <commctrl.h>
#include <string.h>

// Exit statuses of the runs that end before the update procedure.
const int kExitNotInstalled = -1;
const int kExitGameRunning = -2;
const int kExitDeclined = -3;
const int kExitNoDialog = -4;
const int kExitNoTitle = -5;
// A second instance ends silently with this fixed status. It is none of the
// other statuses, nor a result code (those have the top bit set and the low
// bits below 8), and nothing reads it; it only tells the case apart.
const int kExitSecondInstance = -6;

// The support log, in the temporary folder of the user the program runs as.
const char kLogName[] = "KRNUpdate.log";

// update.exe runs elevated from wherever it was downloaded, often beside
// files it did not bring. Allow delay-loaded and LoadLibrary'd DLLs only from
// System32; where that call is missing (Vista and 7 without the update that
// adds it), at least take the current folder out of the search. Both are
// looked up at run time, as the oldest systems lack them.
static void RestrictDllSearch() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
    typedef BOOL(WINAPI * SetDllDirectoryFn)(LPCWSTR);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel) return;
    FARPROC proc = GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (proc) {
        SetDefaultDllDirectoriesFn setDirectories =
            reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(proc));
        if (setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    }
    proc = GetProcAddress(kernel, "SetDllDirectoryW");
    if (!proc) return;
    SetDllDirectoryFn setDirectory =
        reinterpret_cast<SetDllDirectoryFn>(reinterpret_cast<void*>(proc));
    setDirectory(L"");
}

// The manifest brings no common-controls dependency, so the progress bar
// class must be registered before the dialog that uses it is created.
// comctl32 is no known DLL: imported at load time it would be looked for
// beside update.exe first, before any restriction could apply. So it is
// loaded here by its full path in the system folder and kept to the end.
// Should that fail, the dialog cannot be created and the run says so.
static void RegisterProgressClass() {
    typedef BOOL(WINAPI * InitCommonControlsExFn)(const INITCOMMONCONTROLSEX*);
    const wchar_t kName[] = L"\\comctl32.dll";
    wchar_t path[MAX_PATH + sizeof kName / sizeof kName[0]];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    memcpy(path + length, kName, sizeof kName);
    HMODULE comctl = LoadLibraryW(path);
    if (!comctl) return;
    FARPROC proc = GetProcAddress(comctl, "InitCommonControlsEx");
    if (!proc) return;
    InitCommonControlsExFn initControls =
        reinterpret_cast<InitCommonControlsExFn>(reinterpret_cast<void*>(proc));
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS;
    initControls(&controls);
}

// Starts this run's record in the support log, with what support asks first:
// which program, which build, on which system.
static void OpenSupportLog() {
    char folder[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder) return;
    char path[MAX_PATH];
    if (!FormatText(path, "%s%s", folder, kLogName)) return;
    OpenRunLog(path);
    char program[MAX_PATH];
    if (!GetOwnModulePath(program, sizeof program)) CopyText(program, "(path too long)");
    LogLine("update.exe %s, %u-bit, %s", UPDATE_PRODUCT_VERSION_TEXT, (unsigned)sizeof(void*) * 8,
            program);
    // With the manifest's supportedOS list the system reports its own version.
    OSVERSIONINFOA os;
    os.dwOSVersionInfoSize = sizeof os;
    if (GetVersionExA(&os))
        LogLine("Windows %lu.%lu build %lu", os.dwMajorVersion, os.dwMinorVersion,
                os.dwBuildNumber);
}

static const char* ResultName(uint32_t result) {
    switch (result) {
    case UPDATE_OK:
        return "UPDATE_OK";
    case UPDATE_E_PACKAGE:
        return "UPDATE_E_PACKAGE";
    case UPDATE_E_PACKAGE_COUNT:
        return "UPDATE_E_PACKAGE_COUNT";
    case UPDATE_E_FAILED:
        return "UPDATE_E_FAILED";
    case UPDATE_E_UNINSTALL_LIST:
        return "UPDATE_E_UNINSTALL_LIST";
    case UPDATE_E_CANCELLED:
        return "UPDATE_E_CANCELLED";
    case UPDATE_E_CLOSED:
        return "UPDATE_E_CLOSED";
    }
    return "unknown";
}

// Every message the player sees is in the log too, word for word.
static void Warn(const char* text) {
    LogLine("message shown (warning): %s", text);
    ShowWarning(text);
}

static void Inform(const char* text) {
    LogLine("message shown (information): %s", text);
    ShowInformation(text);
}

// Runs with both mutexes held; the dialog is created, used and gone again.
static int RunWithGameMutex(HINSTANCE instance, int showCommand) {
    char installFolder[kInstallFolderSize];
    if (!ReadInstallFolder(installFolder, kCompanyKey, kProductKey)) {
        LogLine("install folder not found: the game is taken as not installed");
        Warn(kNotInstalled);
        return kExitNotInstalled;
    }
    LogLine("install folder: %s", installFolder);
    int answer =
        MessageBoxA(NULL, kAskUpdate, gWindowTitle, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    if (answer != IDYES) {
        if (answer == 0)
            LogLine("update question not shown (error %lu): taken as declined", GetLastError());
        else
            LogLine("update declined (answer %d)", answer);
        return kExitDeclined;
    }
    LogLine("update accepted");

    RegisterProgressClass();
    gDialog =
        CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_PROGRESS), NULL, ProgressDialogProc, 0);
    if (!gDialog) {
        LogLine("progress dialog not created (error %lu)", GetLastError());
        Warn(kDialogFailed);
        return kExitNoDialog;
    }
    EnumerateMonitors();
    // Hidden by its template: first seen already titled and centred.
    SetWindowTextA(gDialog, gWindowTitle);
    CentreWindow(gDialog);
    ShowWindow(gDialog, showCommand);

    uint32_t result = RunUpdate(installFolder);

    if (gDialog) {
        DestroyWindow(gDialog);
        gDialog = NULL;
    }
    LogLine("result 0x%08X (%s)", (unsigned)result, ResultName(result));
    bool warning;
    const char* text = OutcomeMessage(result, &warning);
    if (!text)
        LogLine("no message shown");
    else if (warning)
        Warn(text);
    else
        Inform(text);
    FreeMonitorList();
    return (int)result; // the result code bit for bit
}

// The last lines of the run's record.
static int EndRun(int status) {
    LogLine("exit status 0x%08X", (unsigned)status);
    CloseRunLog();
    return status;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    RestrictDllSearch();
    OpenSupportLog();

    // The names alone decide: the last error right after creation, never a wait.
    SetLastError(0);
    HANDLE updaterMutex = CreateMutexA(NULL, TRUE, kUpdaterMutexName);
    DWORD updaterError = GetLastError();
    if (updaterError != 0) {
        if (updaterMutex) CloseHandle(updaterMutex);
        LogLine("another update.exe is running (updater mutex: error %lu): ending silently",
                updaterError);
        return EndRun(kExitSecondInstance);
    }

    int status;
    bool titleRead = ReadTitleBlock(gWindowTitle); // terminated whatever the block holds
    if (!titleRead) {
        LogLine("title block not read (error %u)", LastFileError());
        memcpy(gWindowTitle, kErrorCaption, sizeof kErrorCaption); // with its NUL
        Warn(kTitleReadFailed);
        status = kExitNoTitle;
    } else {
        LogLine("title: %s", gWindowTitle);
        // Held to the end so the game cannot start during the update.
        SetLastError(0);
        HANDLE gameMutex = CreateMutexA(NULL, TRUE, kGameMutexName);
        DWORD gameError = GetLastError();
        if (gameError != 0) {
            LogLine("the game, its launcher or its uninstaller is running (game mutex: error %lu)",
                    gameError);
            Warn(kGameRunning);
            status = kExitGameRunning;
        } else {
            status = RunWithGameMutex(instance, showCommand);
        }
        if (gameMutex) CloseHandle(gameMutex);
    }

    if (updaterMutex) CloseHandle(updaterMutex);
    return EndRun(status);
}
