// What the message hook that the test driver puts into the program under
// test shares with the driver: a log of what the program wrote into its
// windows (texts, bar ranges and positions, message-box icons), and a pause
// point on the overall bar that holds the program still at a known step.
#pragma once
#include <windows.h>
#include <wchar.h>

const int kHookTextSize = 128;
const int kHookMaxRecords = 8192;

// Icon kinds of STM_SETICON records, as the hook recognises the handle.
enum HookIcon {
    kIconOther = 0,
    kIconWarning = 1,
    kIconInformation = 2,
    kIconQuestion = 3,
    kIconError = 4
};

struct HookRecord {
    ULONG64 window; // target window
    ULONG64 parent; // its parent, 0 for a top-level window
    LONG controlId; // GetDlgCtrlID of the target
    UINT message;   // WM_SETTEXT, PBM_SETRANGE32, PBM_SETPOS, STM_SETICON
    ULONG64 wParam;
    LONG64 lParam;             // for STM_SETICON: a HookIcon
    WCHAR text[kHookTextSize]; // WM_SETTEXT only, truncated
};

struct HookShared {
    volatile LONG count;          // records written (may pass kHookMaxRecords; the rest is lost)
    volatile LONG pauseAtOverall; // first PBM_SETPOS of control 1003 with at least this value
                                  // holds the program until resumed; -1: no pause. Reset to -1
                                  // when it fires, so the driver may arm the next one.
    HookRecord records[kHookMaxRecords];
};

// Object names for the program with this process id.
inline void HookObjectName(WCHAR (&name)[64], const wchar_t* what, DWORD pid) {
    _snwprintf(name, 64, L"krn_uihook_%ls_%lu", what, (unsigned long)pid);
    name[63] = 0;
}
