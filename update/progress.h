// What the update procedure shows and pumps. In update.exe this drives
// controls 1001-1003 of the progress dialog and the real message pump; the
// tests link a double that records the calls and sets the flags on cue.
#pragma once
#include <stdint.h>

// Set to 1 by the dialog on a confirmed cancel; never reset. Read by the procedure.
extern uint32_t gCancelFlag;
// Set to 1 on WM_CLOSE, or by the procedure when the pump met WM_QUIT; never reset.
extern uint32_t gCloseFlag;

// Control handles, looked up once per run; any may be null and is then skipped.
struct ProgressView {
    void* label;
    void* fileBar;
    void* overallBar;
};

void OpenProgressView(ProgressView* view);
void SetProgressLabel(const ProgressView& view, const char* text);
void SetProgressRange(void* bar, uint32_t upper); // lower bound 0
void SetProgressPos(void* bar, uint32_t position);
// Drains the queue without blocking: 0 when drained, 1 when WM_QUIT was met.
int PumpMessages();
