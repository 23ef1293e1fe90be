// The progress seam on Windows: the label and the two bars of the progress
// dialog. Every handle may be null (no dialog, or a control missing) and is
// then skipped; after the dialog was destroyed the calls simply fail.
#include "progress.h"
#include "dialog.h"
#include "resource.h"
#include <windows.h>
#include <commctrl.h>

static void* Control(int id) {
    return gDialog ? (void*)GetDlgItem(gDialog, id) : nullptr;
}

void OpenProgressView(ProgressView* view) {
    view->label = Control(IDC_LABEL);
    view->fileBar = Control(IDC_FILE_BAR);
    view->overallBar = Control(IDC_OVERALL_BAR);
}

void SetProgressLabel(const ProgressView& view, const char* text) {
    if (view.label) SetWindowTextA((HWND)view.label, text);
}

void SetProgressRange(void* bar, uint32_t upper) {
    if (bar) SendMessageA((HWND)bar, PBM_SETRANGE32, 0, (LPARAM)upper);
}

void SetProgressPos(void* bar, uint32_t position) {
    if (bar) SendMessageA((HWND)bar, PBM_SETPOS, (WPARAM)position, 0);
}
