// The injected file faults that tests switch on; the programs never set them.
#include "file_faults.h"
#include <string.h>

// Set by tests around the operation they want to break; null otherwise.
FileFaults* gFileFaults = nullptr;

static bool PathMatches(const char* path, const char* pattern) {
    return pattern && pattern[0] && path && strstr(path, pattern);
}

bool FaultOnOpenRead(const char* path) {
    return gFileFaults && PathMatches(path, gFileFaults->failOpenRead);
}

bool FaultOnCreate(const char* path) {
    return gFileFaults && PathMatches(path, gFileFaults->failCreate);
}

bool FaultOnMove(const char* to) {
    return gFileFaults && PathMatches(to, gFileFaults->failMove);
}

uint32_t FaultWriteCount(uint32_t count) {
    if (!gFileFaults) return count;
    gFileFaults->writes++;
    if (gFileFaults->shortWriteAt && gFileFaults->writes == gFileFaults->shortWriteAt)
        return count / 2;
    return count;
}

bool FaultOnFlush() {
    if (!gFileFaults) return false;
    gFileFaults->flushes++;
    return gFileFaults->failFlushAt && gFileFaults->flushes == gFileFaults->failFlushAt;
}

bool FaultOnCall(FileCall kind) {
    FileFaults* f = gFileFaults;
    if (!f) return false;
    // A stopped run is a dead process: nothing it asks for happens any more.
    if (f->stopAfter && f->allCalls >= f->stopAfter) return true;
    f->allCalls++;
    f->calls[kind]++;
    return kind != kCallQuery && f->failAt[kind] && f->calls[kind] == f->failAt[kind];
}

bool FaultOnLock(const char* path) {
    if (!gFileFaults || !gFileFaults->lockCount || !PathMatches(path, gFileFaults->lockPath))
        return false;
    gFileFaults->lockCount--;
    return true;
}

bool FaultSkipsPause() {
    if (!gFileFaults) return false;
    gFileFaults->waits++;
    return true;
}

void NoteFileEvent(FileEvent event, const char* path, const char* path2, intptr_t handle) {
    if (gFileFaults && gFileFaults->observe)
        gFileFaults->observe(gFileFaults->context, event, path, path2, handle);
}
