// The message hook DLL (WH_CALLWNDPROCRET): loaded into the program under test by the system when
// the driver hooks its GUI thread; logs and optionally pauses (see ui_hook.h).
#include "ui_hook.h"
#include <commctrl.h>

static HookShared* gShared = NULL;
static HANDLE gPaused = NULL;
static HANDLE gResume = NULL;
static bool gTriedOpen = false;

static void OpenShared() {
    gTriedOpen = true;
    DWORD pid = GetCurrentProcessId();
    WCHAR name[64];
    HookObjectName(name, L"map", pid);
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE | FILE_MAP_READ, FALSE, name);
    if (!mapping) return;
    gShared = (HookShared*)MapViewOfFile(mapping, FILE_MAP_WRITE | FILE_MAP_READ, 0, 0,
                                         sizeof(HookShared));
    HookObjectName(name, L"paused", pid);
    gPaused = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    HookObjectName(name, L"resume", pid);
    gResume = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name);
}

// The system icons by id: exclamation 32515, asterisk 32516, question 32514, hand 32513.
static LONG64 IconKind(HICON icon) {
    if (icon == LoadIconW(NULL, MAKEINTRESOURCEW(32515))) return kIconWarning;
    if (icon == LoadIconW(NULL, MAKEINTRESOURCEW(32516))) return kIconInformation;
    if (icon == LoadIconW(NULL, MAKEINTRESOURCEW(32514))) return kIconQuestion;
    if (icon == LoadIconW(NULL, MAKEINTRESOURCEW(32513))) return kIconError;
    return kIconOther;
}

// Called after the window handled the message, so a text is read back from
// the window in UTF-16 whether it was set through the A or the W call.
static void Record(const CWPRETSTRUCT& c) {
    LONG slot = InterlockedIncrement(&gShared->count) - 1;
    if (slot >= kHookMaxRecords) return;
    HookRecord& r = gShared->records[slot];
    r.window = (ULONG64)(ULONG_PTR)c.hwnd;
    r.parent = (ULONG64)(ULONG_PTR)GetParent(c.hwnd);
    r.controlId = GetDlgCtrlID(c.hwnd);
    r.message = c.message;
    r.wParam = c.wParam;
    r.lParam = c.lParam;
    r.text[0] = 0;
    if (c.message == STM_SETICON) r.lParam = IconKind((HICON)c.wParam);
    if (c.message == WM_SETTEXT) GetWindowTextW(c.hwnd, r.text, kHookTextSize);
}

static void MaybePause(const CWPRETSTRUCT& c) {
    LONG at = gShared->pauseAtOverall;
    if (at < 0 || c.message != PBM_SETPOS || GetDlgCtrlID(c.hwnd) != 1003 || (LONG)c.wParam < at)
        return;
    gShared->pauseAtOverall = -1;
    SetEvent(gPaused);
    WaitForSingleObject(gResume, 60000);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK
    CallWndHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        if (!gTriedOpen) OpenShared();
        const CWPRETSTRUCT* c = (const CWPRETSTRUCT*)lParam;
        if (gShared && (c->message == WM_SETTEXT || c->message == PBM_SETRANGE32 ||
                        c->message == PBM_SETPOS || c->message == STM_SETICON)) {
            Record(*c);
            MaybePause(*c);
        }
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}
