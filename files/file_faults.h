// Test seam: lets tests make chosen file operations fail the way a locked,
// read-only or full disk would, stop a run dead at any call as a kill or a
// power cut would, and watch which changes have been made durable. Both
// platform layers call it; null in the programs.
#pragma once
#include <stdint.h>

// The kinds of file-system call the layers count.
enum FileCall {
    kCallOpen,   // OpenRead, and the probe of a target before the commit
    kCallCreate, // Create, CreateNew
    kCallRead,
    kCallWrite,
    kCallSeek,
    kCallFlush,      // a file's data, or a folder's entries, to disk
    kCallAttributes, // an attribute change
    kCallMove,
    kCallDelete,
    kCallQuery, // looking only (attributes, size): never failed by failAt, but stopped
    kCallKinds
};

// What has reached the disk, for a test that simulates a power cut.
enum FileEvent {
    kEventCreated, // path, handle: a new, empty file
    kEventFlushed, // handle: its bytes so far are durable
    kEventMoved,   // path to path2, not yet durable
    kEventDeleted, // path, not yet durable
    kEventSynced   // path: the folder's entries as they are now are durable
};

struct FileFaults {
    const char* failOpenRead; // OpenRead fails for paths containing this
    const char* failCreate;   // Create fails for paths containing this
    const char* failMove;     // MoveReplace fails when the target contains this
    uint32_t shortWriteAt;    // the Nth Write (counted from 1) moves half its bytes
    uint32_t failFlushAt;     // the Nth Flush fails
    uint32_t writes;          // counters, advanced by the layer
    uint32_t flushes;

    uint32_t failAt[kCallKinds]; // the Nth call (from 1) of this kind fails
    uint32_t calls[kCallKinds];  // calls of each kind so far
    uint32_t stopAfter;          // after this many calls of any kind every call fails
    uint32_t allCalls;
    const char* lockPath; // the next lockCount probes and moves of a path containing
    uint32_t lockCount;   // this find it held open by another program
    uint32_t waits;       // PauseBriefly calls, which then do not sleep
    void (*observe)(void* context, FileEvent event, const char* path, const char* path2,
                    intptr_t handle);
    void* context;
};

extern FileFaults* gFileFaults;

// Called by the platform layers; each returns true when the operation must fail.
bool FaultOnOpenRead(const char* path);
bool FaultOnCreate(const char* path);
bool FaultOnMove(const char* to);
uint32_t FaultWriteCount(uint32_t count); // bytes the next Write may move
bool FaultOnFlush();
// Counts one call of kind; true when it must fail (its turn, or the run stopped).
bool FaultOnCall(FileCall kind);
// True when path is to look held open by another program this time.
bool FaultOnLock(const char* path);
// True when the caller must not really sleep.
bool FaultSkipsPause();
void NoteFileEvent(FileEvent event, const char* path, const char* path2, intptr_t handle);
