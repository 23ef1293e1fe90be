// The progress dialog procedure, the non-blocking message pump that keeps it
// alive during the update, and the warning and notice boxes.
#include "dialog.h"
#include "messages.h"
#include "progress.h"
#include "resource.h"

// Set by WinMain after CreateDialogParamA; cleared by WinMain or on WM_CLOSE.
HWND gDialog = NULL;
// The package's title, written once at start-up; caption of every window.
char gWindowTitle[1024];

// No owner: the dialog may already be gone when the outcome is shown.
int ShowWarning(const char* text) {
    return MessageBoxA(NULL, text, gWindowTitle, MB_OK | MB_ICONEXCLAMATION);
}

int ShowInformation(const char* text) {
    return MessageBoxA(NULL, text, gWindowTitle, MB_OK | MB_ICONINFORMATION);
}

// The question is modal: the update stands still inside PumpMessages until
// it is answered. No is the default, so a stray Enter does not cancel.
static INT_PTR OnCancelButton(HWND dialog) {
    if (gCancelFlag) return TRUE;
    int answer =
        MessageBoxA(dialog, kAskCancel, gWindowTitle, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    if (answer != IDYES) return TRUE;
    gCancelFlag = 1;
    HWND button = GetDlgItem(dialog, IDC_CANCEL_BUTTON);
    if (button) EnableWindow(button, FALSE);
    return TRUE;
}

// The procedure winds down at its next checkpoint; the dialog goes at once.
static INT_PTR OnClose() {
    gCloseFlag = 1;
    DestroyWindow(gDialog);
    gDialog = NULL;
    return TRUE;
}

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE; // focus to the cancel button
    case WM_CLOSE:
        return OnClose();
    case WM_COMMAND:
        // Only a click of the cancel button; Escape (IDCANCEL) and IDOK do nothing.
        if (LOWORD(wParam) == IDC_CANCEL_BUTTON && HIWORD(wParam) == BN_CLICKED)
            return OnCancelButton(dialog);
        return FALSE;
    case WM_SYSCOMMAND:
        // Alt+F4 must not turn into WM_CLOSE.
        return (wParam & 0xFFF0) == SC_CLOSE ? TRUE : FALSE;
    }
    return FALSE;
}

int PumpOneMessage() {
    MSG msg;
    if (!PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) return 0;
    if (msg.message == WM_QUIT) throw 0; // taken off the queue and not reposted
    if (gDialog && IsDialogMessageA(gDialog, &msg)) return 1;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return 1;
}

// Never blocks. Messages behind a WM_QUIT stay queued for the next call.
int PumpMessages() {
    try {
        while (PumpOneMessage()) {
        }
    } catch (...) {
        return 1;
    }
    return 0;
}
