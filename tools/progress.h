// Progress of long work (building or verifying a patch of gigabytes), which
// the command line shows as one line on a terminal.
#pragma once
#include <stdint.h>

// Called as the work goes: bytes done of total.
typedef void (*ProgressFn)(uint64_t done, uint64_t total, void* context);

// Bytes done across several reads that share one total.
struct ProgressTally {
    ProgressFn report = nullptr; // nullptr: nobody watches
    void* context = nullptr;
    uint64_t done = 0;
    uint64_t total = 0;
};

inline void AdvanceProgress(ProgressTally* tally, uint64_t bytes) {
    if (!tally || !tally->report) return;
    tally->done += bytes;
    if (tally->done > tally->total) tally->done = tally->total;
    tally->report(tally->done, tally->total, tally->context);
}
