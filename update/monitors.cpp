// The monitor list and the placement of the progress dialog on monitor 0.
#include "monitors.h"
#include <stdlib.h>

// Owned by the list; AddMonitor appends, FreeMonitorList empties.
static MonitorNode* gMonitorHead = NULL;
static MonitorNode* gMonitorTail = NULL;

BOOL EnumerateMonitors() {
    return EnumDisplayMonitors(NULL, NULL, AddMonitor, 0);
}

// A node that cannot be allocated is left out; the enumeration goes on.
BOOL CALLBACK AddMonitor(HMONITOR, HDC, LPRECT rect, LPARAM) {
    MonitorNode* node = (MonitorNode*)malloc(sizeof(MonitorNode));
    if (!node) return TRUE;
    node->rect = *rect;
    node->next = NULL;
    if (!gMonitorTail) {
        node->index = 0;
        gMonitorHead = node;
    } else {
        node->index = gMonitorTail->index + 1;
        gMonitorTail->next = node;
    }
    gMonitorTail = node;
    return TRUE;
}

int GetMonitorRect(RECT* dest, UINT32 index) {
    for (MonitorNode* node = gMonitorHead; node; node = node->next) {
        if (node->index == index) {
            *dest = node->rect;
            return 1;
        }
    }
    return 0;
}

void FreeMonitorList() {
    while (gMonitorHead) {
        MonitorNode* node = gMonitorHead;
        gMonitorHead = node->next;
        free(node);
    }
    gMonitorTail = NULL;
}

void CentredPosition(const RECT& monitor, const RECT& window, int* x, int* y) {
    LONG monitorWidth = monitor.right - monitor.left;
    LONG monitorHeight = monitor.bottom - monitor.top;
    *x = (monitorWidth - (window.right - window.left)) / 2;
    *y = (monitorHeight - (window.bottom - window.top)) / 2;
}

// Without a monitor 0 in the list (the enumeration failed or found nothing)
// the primary monitor stands in, so the rectangle is never undefined.
BOOL CentreWindow(HWND window) {
    RECT windowRect = {0, 0, 0, 0};
    GetWindowRect(window, &windowRect);
    RECT monitorRect = {0, 0, 0, 0};
    if (!GetMonitorRect(&monitorRect, 0)) {
        POINT origin = {0, 0};
        MONITORINFO info;
        info.cbSize = sizeof info;
        if (GetMonitorInfoA(MonitorFromPoint(origin, MONITOR_DEFAULTTOPRIMARY), &info))
            monitorRect = info.rcMonitor;
    }
    int x, y;
    CentredPosition(monitorRect, windowRect, &x, &y);
    return SetWindowPos(window, HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
}
