// Drives a Windows GUI program from outside, as a user would: starts it,
// finds its windows, reads message boxes and the progress dialog, clicks,
// presses keys, closes, quits, holds mutexes, sets the registry value, and
// reads the full exit code. Optionally hooks the program's GUI thread (see
// ui_hook.h) to log what it writes into its controls and to pause it.
#pragma once
#include "ui_hook.h"
#include <windows.h>
#include <string>
#include <vector>

struct ChildProcess {
    HANDLE process = NULL;
    HANDLE thread = NULL; // the GUI thread: the program has no other
    DWORD pid = 0;
    DWORD tid = 0;
    // Hook state; null when started without the hook.
    HMODULE hookModule = NULL;
    HHOOK hook = NULL;
    HANDLE mapping = NULL;
    HookShared* log = nullptr;
    HANDLE pausedEvent = NULL;
    HANDLE resumeEvent = NULL;
};

// The folder of the running program (no trailing backslash), and the
// update.exe the suites test: the build's own, or the deliverable's when the
// suites run the programs of another build (see tests/CMakeLists.txt).
std::string OwnFolder();
std::string BuiltUpdateExe();
// A path of the build (host form, /...) as Wine's programs see it (Z:\...).
std::string WinePathFromHost(const char* hostPath);

// The driver runs programs of its own width only: its hook DLL and the
// registry view it writes are those of its width, and a run of the 64-bit
// twin in place of the 32-bit deliverable (or the reverse) must not pass.
// False, with the reason, unless exe is a PE32 image for i386 (32-bit driver)
// or a PE32+ image for x64 (64-bit driver).
bool IsOwnWidthProgram(const std::string& exe, std::string* why);

// Starts exe (a narrow path in the ANSI code page) in its own folder. With
// hookDll, the GUI thread is hooked before the program runs its first line.
// Refuses a program of another width (see IsOwnWidthProgram).
bool StartProgram(const std::string& exe, ChildProcess* child, const std::string& hookDll = "");
// The exit code, or false when the program is still running after timeoutMs.
bool WaitForExit(ChildProcess* child, DWORD timeoutMs, DWORD* exitCode);
// Kills the program if it still runs and releases everything.
void EndProgram(ChildProcess* child);
bool IsRunning(const ChildProcess& child);

// Visible top-level windows of the process.
std::vector<HWND> ProcessWindows(DWORD pid);

// Window texts, read from the window manager without a message to the
// program (so they work while it is busy or suspended).
std::string WindowTextUtf8(HWND window);
std::string WindowTextSjis(HWND window); // converted to code page 932

struct MessageBoxInfo {
    HWND window = NULL;
    HWND owner = NULL;
    std::string caption; // UTF-8
    std::string text;    // UTF-8
    std::string captionSjis;
    std::string textSjis;
    std::string kind; // "question" (Yes and No), "warning", "information", or "other"
};

bool IsMessageBox(HWND window);
bool ReadMessageBox(const ChildProcess& child, HWND window, MessageBoxInfo* box);
// Message boxes open right now.
std::vector<MessageBoxInfo> OpenMessageBoxes(const ChildProcess& child);

// The progress dialog: a dialog with a progress bar 1002.
HWND FindProgressDialog(DWORD pid);

// Clicks a button of a dialog or message box (BM_CLICK posted to it).
bool ClickButton(HWND dialog, int id);
// Presses a key in a window of the program (posted key down and up).
void PressKey(HWND window, UINT virtualKey);
// The window that has the keyboard focus in the program's GUI thread.
HWND FocusWindow(const ChildProcess& child);
void PostClose(HWND window);
void PostQuit(const ChildProcess& child);
void PostCommand(HWND window, WORD id, WORD code);
void PostSysCommand(HWND window, WPARAM command);

// Suspends or resumes the program's GUI thread.
void SuspendProgram(const ChildProcess& child);
void ResumeProgram(const ChildProcess& child);

// Hook: arms the pause at the first overall-bar position >= value, waits for
// it to fire, resumes the program, and copies the log.
void ArmPause(ChildProcess* child, LONG overallValue);
bool WaitForPause(const ChildProcess& child, DWORD timeoutMs);
void ResumeFromPause(const ChildProcess& child);
std::vector<HookRecord> HookLog(const ChildProcess& child);

// Holds a named mutex as another program would; close the handle to let go.
HANDLE HoldMutex(const char* name);

// The registry value HKLM\Software\TARNVALE\クイルミア\InstalledFolder in the
// view of the driver's width, which is the one its programs read (a 32-bit
// program's HKLM\Software is WOW6432Node). SetInstallFolderRaw stores exactly
// the given bytes.
bool SetInstallFolder(const std::wstring& path, DWORD type = REG_SZ);
bool SetInstallFolderRaw(const void* data, DWORD size, DWORD type);
bool ClearInstallFolder();

// Under Wine on a bare X server there is no window manager: each managed
// window that is hidden or destroyed then costs a two-second wait for the
// manager's answer. Asks Wine (per user, in its registry) to place windows
// itself, drawing their captions too. Programs started afterwards read it;
// Windows ignores the key.
void UseUnmanagedWindows();

std::string Utf8FromWide(const std::wstring& wide);
std::string SjisFromWide(const std::wstring& wide); // code page 932
std::wstring WideFromAnsi(const std::string& ansi); // the process's ANSI code page
