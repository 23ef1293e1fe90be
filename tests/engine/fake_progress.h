// A stand-in for the progress dialog: records what the update procedure shows
// and, at a chosen pump call, acts as the user or the system would.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

enum PumpAction {
    kPumpNothing,
    kPumpCancel,        // the user confirmed the cancel question
    kPumpClose,         // the dialog received WM_CLOSE
    kPumpQuit,          // the pump met WM_QUIT
    kPumpCancelAndClose // both in the same pump
};

struct FakeProgress {
    bool nullControls;               // OpenProgressView hands out null handles
    std::vector<std::string> labels; // every label text, in order
    std::vector<std::string> events; // "label", "range file 65535", "pos overall 2", "pump"
    uint32_t fileRange, overallRange;
    uint32_t filePos, overallPos;
    uint32_t pumps; // PumpMessages calls so far
    uint32_t actAt; // 1-based pump call that acts; 0 never
    PumpAction action;
};

extern FakeProgress gFake;

// Clears the record and the two flags; to be called before every run.
void ResetFake();
