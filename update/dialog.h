// The progress dialog, its message pump and the program's message boxes:
// the Win32 side of the shared UI state (the flags live in progress.h).
#pragma once
#include <windows.h>

// The progress dialog while it exists; WinMain sets it, WinMain or WM_CLOSE clears it.
extern HWND gDialog;
// Caption of the dialog and of every message box: the title block of the
// package, NUL-terminated Shift-JIS. Written once at start-up by WinMain.
extern char gWindowTitle[1024];

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Takes one message off the queue and handles it: non-zero when there was
// one, 0 when the queue was empty. Throws an int on WM_QUIT.
int PumpOneMessage();

// Message boxes with no owner and the window title as caption; the result is
// the MessageBoxA result.
int ShowWarning(const char* text);
int ShowInformation(const char* text);
