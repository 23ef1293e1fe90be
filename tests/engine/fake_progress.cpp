// The recording progress double linked into the engine tests instead of the dialog.
#include "fake_progress.h"
#include "progress.h"

FakeProgress gFake;

// Distinct non-null handles the double recognises.
static char gLabel, gFileBar, gOverallBar;

void ResetFake() {
    gFake = FakeProgress();
    gCancelFlag = 0;
    gCloseFlag = 0;
}

static const char* BarName(void* bar) {
    return bar == &gFileBar ? "file" : "overall";
}

void OpenProgressView(ProgressView* view) {
    view->label = gFake.nullControls ? nullptr : &gLabel;
    view->fileBar = gFake.nullControls ? nullptr : &gFileBar;
    view->overallBar = gFake.nullControls ? nullptr : &gOverallBar;
}

void SetProgressLabel(const ProgressView& view, const char* text) {
    if (!view.label) return;
    gFake.labels.push_back(text);
    gFake.events.push_back("label");
}

void SetProgressRange(void* bar, uint32_t upper) {
    if (!bar) return;
    (bar == &gFileBar ? gFake.fileRange : gFake.overallRange) = upper;
    gFake.events.push_back(std::string("range ") + BarName(bar) + " " + std::to_string(upper));
}

void SetProgressPos(void* bar, uint32_t position) {
    if (!bar) return;
    (bar == &gFileBar ? gFake.filePos : gFake.overallPos) = position;
    gFake.events.push_back(std::string("pos ") + BarName(bar) + " " + std::to_string(position));
}

int PumpMessages() {
    gFake.pumps++;
    gFake.events.push_back("pump");
    if (gFake.pumps != gFake.actAt) return 0;
    switch (gFake.action) {
    case kPumpCancel:
        gCancelFlag = 1;
        break;
    case kPumpClose:
        gCloseFlag = 1;
        break;
    case kPumpQuit:
        return 1;
    case kPumpCancelAndClose:
        gCancelFlag = 1;
        gCloseFlag = 1;
        break;
    case kPumpNothing:
        break;
    }
    return 0;
}
