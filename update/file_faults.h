// Test seam: lets tests make chosen file operations fail the way a locked,
// read-only or full disk would, on both platform layers. Null in the programs.
#pragma once
#include <stdint.h>

struct FileFaults {
    const char* failOpenRead; // OpenRead fails for paths containing this
    const char* failCreate;   // Create fails for paths containing this
    const char* failMove;     // MoveReplace fails when the target contains this
    uint32_t shortWriteAt;    // the Nth Write (counted from 1) moves half its bytes
    uint32_t failFlushAt;     // the Nth Flush fails
    uint32_t writes;          // counters, advanced by the layer
    uint32_t flushes;
};

extern FileFaults* gFileFaults;

// Called by the platform layers; each returns true when the operation must fail.
bool FaultOnOpenRead(const char* path);
bool FaultOnCreate(const char* path);
bool FaultOnMove(const char* to);
uint32_t FaultWriteCount(uint32_t count); // bytes the next Write may move
bool FaultOnFlush();
