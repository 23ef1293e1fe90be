// The list of display monitors, filled once per run, and the centring of the
// progress dialog on the first of them.
#pragma once
#include <windows.h>

// One monitor as the enumeration reported it: index 0 for the first, then
// one more than the node before; the whole monitor, not its work area.
struct MonitorNode {
    UINT32 index;
    RECT rect;
    MonitorNode* next;
};

BOOL EnumerateMonitors();
BOOL CALLBACK AddMonitor(HMONITOR monitor, HDC dc, LPRECT rect, LPARAM data);
// 1 and the rectangle when a node with that index exists; else 0, dest untouched.
int GetMonitorRect(RECT* dest, UINT32 index);
void FreeMonitorList();

// Top-left corner that centres a window rectangle on a monitor's extent,
// measured from the screen origin (the monitor's own left and top do not
// enter); signed division, truncated toward zero.
void CentredPosition(const RECT& monitor, const RECT& window, int* x, int* y);
// Moves the window there (and to the top of the Z order), keeping its size.
BOOL CentreWindow(HWND window);
