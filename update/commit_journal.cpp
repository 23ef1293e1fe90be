// The all-or-nothing commit of an update, its journal, and the recovery of a
// commit that a killed run left behind.
#include "commit_journal.h"
#include "digest.h"
#include "file_object.h"
#include "file_system.h"
#include "install_names.h"
#include "progress.h"
#include "run_log.h"
#include "strbuf.h"
#include "text.h"
#include <stdlib.h>
#include <string.h>

const char kJournalName[] = "KRNUpdate.jnl";
const char kAsideSuffix[] = ".old";
const char kTempSuffix[] = ".tmp";

// Journal layout: magic, state, step count, digest of the step records, then
// per step its existed flag and its name field. Little-endian.
static const char kJournalMagic[8] = {'K', 'R', 'N', 'J', 'R', 'N', 'L', '1'};
const uint32_t kJournalHeaderSize = 24;
const uint32_t kJournalStateAt = 8;
const uint32_t kJournalStepSize = 4 + kMaxPath;
const uint32_t kStateUnderway = 1; // undo on recovery
const uint32_t kStateComplete = 2; // every step done: finish on recovery

// A held file is retried this often, this far apart: about five seconds,
// enough for a virus scanner or an indexer to let go.
const uint32_t kLockPauses = 50;
const uint32_t kLockPauseMs = 100;

static void PutLe32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}

static uint32_t GetLe32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static bool StepPath(char (&path)[kMaxPath], const char* folder, const char* name,
                     const char* suffix) {
    return FormatText(path, "%s\\%s%s", folder, name, suffix);
}

static bool Exists(const char* path) {
    return GetPathAttributes(path) != kInvalidAttributes;
}

static unsigned long ErrorCode() {
    return (unsigned long)LastFileError();
}

// One pause for a file another program holds, with the dialog pumped. False
// when the user cancelled or closed meanwhile and the caller may stop.
static bool PauseForHolder(const char* path, uint32_t error, uint32_t attempt, bool mayStop) {
    char holder[kMaxPath];
    if (!DescribeFileHolder(path, holder, sizeof holder)) CopyText(holder, "not known");
    LogLine("%s is in use by another program (%s): error %lu, retry %lu of %lu", path, holder,
            (unsigned long)error, (unsigned long)attempt, (unsigned long)kLockPauses);
    PauseBriefly(kLockPauseMs);
    if (PumpMessages() == 1) gCloseFlag = 1;
    if (mayStop && (gCancelFlag || gCloseFlag)) {
        LogLine("stopped by the user while waiting for %s", path);
        return false;
    }
    return true;
}

// A rename that waits out a held file. mayStop: a cancel or close while
// waiting gives up (never during an undo, which must finish).
static bool MoveWaiting(const char* from, const char* to, bool mayStop) {
    for (uint32_t attempt = 1;; attempt++) {
        if (MoveReplace(from, to)) return true;
        uint32_t error = LastFileError();
        if (!IsLockError(error) || attempt > kLockPauses) {
            LogLine("cannot move %s to %s: error %lu", from, to, (unsigned long)error);
            return false;
        }
        if (!PauseForHolder(from, error, attempt, mayStop)) return false;
    }
}

static bool DeleteWaiting(const char* path) {
    for (uint32_t attempt = 1;; attempt++) {
        if (DeletePath(path)) return true;
        uint32_t error = LastFileError();
        if (!IsLockError(error) || attempt > kLockPauses) {
            LogLine("cannot delete %s: error %lu", path, (unsigned long)error);
            return false;
        }
        PauseForHolder(path, error, attempt, false);
    }
}

void DeleteStepTemps(const char* folder, const CommitStep* steps, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        char temp[kMaxPath];
        if (!StepPath(temp, folder, steps[i].name, kTempSuffix) || !Exists(temp)) continue;
        if (DeletePath(temp))
            LogLine("deleted %s", temp);
        else
            LogLine("cannot delete %s: error %lu", temp, ErrorCode());
    }
}

// The folder a path is in, Shift-JIS aware.
static void ParentOf(char (&folder)[kMaxPath], const char* path) {
    CopyText(folder, path);
    char* last = LastSeparator(folder);
    if (last) *last = 0;
}

// Deletions are not written through: each folder the steps touched is
// synced once before the journal that owns them may go.
static bool SyncStepFolders(const char* folder, const CommitStep* steps, uint32_t count) {
    bool ok = SyncFolder(folder);
    for (uint32_t i = 0; i < count; i++) {
        char target[kMaxPath], parent[kMaxPath];
        if (!StepPath(target, folder, steps[i].name, "")) continue;
        ParentOf(parent, target);
        bool seen = strcmp(parent, folder) == 0;
        for (uint32_t j = 0; j < i && !seen; j++) {
            char other[kMaxPath], otherParent[kMaxPath];
            if (!StepPath(other, folder, steps[j].name, "")) continue;
            ParentOf(otherParent, other);
            seen = strcmp(parent, otherParent) == 0;
        }
        if (!seen && !SyncFolder(parent)) ok = false;
    }
    return ok;
}

// Puts one step's target back as it was before the commit, judged from what
// is on disk, so that it serves an undo here and a recovery after a kill.
static bool RestoreStep(const char* folder, const CommitStep& step) {
    char target[kMaxPath], aside[kMaxPath];
    if (!StepPath(target, folder, step.name, "") ||
        !StepPath(aside, folder, step.name, kAsideSuffix))
        return false;
    if (step.existed) {
        if (!Exists(aside)) return true; // never set aside: the old file is in place
        if (!MoveWaiting(aside, target, false)) return false;
        LogLine("undo: put back %s", target);
        return true;
    }
    if (!Exists(target)) return true;
    if (!DeleteWaiting(target)) return false;
    LogLine("undo: removed the new %s", target);
    return true;
}

static bool ApplyStep(const char* folder, const CommitStep& step) {
    char target[kMaxPath], temp[kMaxPath], aside[kMaxPath];
    if (!StepPath(target, folder, step.name, "") ||
        !StepPath(temp, folder, step.name, kTempSuffix) ||
        !StepPath(aside, folder, step.name, kAsideSuffix))
        return false;
    if (step.existed) {
        if (!MoveWaiting(target, aside, true)) return false;
        LogLine("set aside %s", target);
    }
    if (!MoveWaiting(temp, target, true)) return false;
    LogLine("installed %s", target);
    return true;
}

uint32_t PrepareCommit(const char* folder, CommitStep* steps, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        char target[kMaxPath], temp[kMaxPath], aside[kMaxPath];
        if (!StepPath(target, folder, steps[i].name, "") ||
            !StepPath(temp, folder, steps[i].name, kTempSuffix) ||
            !StepPath(aside, folder, steps[i].name, kAsideSuffix)) {
            LogLine("path too long for %s", steps[i].name);
            return UPDATE_E_FAILED;
        }
        for (uint32_t attempt = 1;; attempt++) {
            ProbeResult probe = ProbeReplace(target);
            if (probe == kProbeMissing || probe == kProbeReady) {
                steps[i].existed = probe == kProbeReady;
                break;
            }
            uint32_t error = LastFileError();
            if (probe == kProbeBlocked || attempt > kLockPauses) {
                LogLine("%s cannot be replaced: error %lu", target, (unsigned long)error);
                return UPDATE_E_FAILED;
            }
            if (!PauseForHolder(target, error, attempt, true)) return UPDATE_E_FAILED;
        }
        if (steps[i].existed && !RemoveLeftover(aside)) {
            LogLine("cannot clear %s: error %lu", aside, ErrorCode());
            return UPDATE_E_FAILED;
        }
    }
    return UPDATE_OK;
}

// Created new (a link planted at the name removed, never followed), written
// and flushed, and its folder entry made durable, before the first change.
// The file stays open for the mark of completion.
static bool WriteJournal(FileObject* file, const char* folder, const char* path,
                         const CommitStep* steps, uint32_t count) {
    uint32_t size = kJournalHeaderSize + count * kJournalStepSize;
    unsigned char* bytes = (unsigned char*)calloc(1, size);
    if (!bytes) return false;
    memcpy(bytes, kJournalMagic, sizeof kJournalMagic);
    PutLe32(bytes + kJournalStateAt, kStateUnderway);
    PutLe32(bytes + 12, count);
    for (uint32_t i = 0; i < count; i++) {
        unsigned char* record = bytes + kJournalHeaderSize + i * kJournalStepSize;
        PutLe32(record, steps[i].existed);
        memcpy(record + 4, steps[i].name, strlen(steps[i].name));
    }
    unsigned char digest[kDigestSize] = {};
    FeedDigest(digest, bytes + kJournalHeaderSize, size - kJournalHeaderSize);
    memcpy(bytes + 16, digest, kDigestSize);
    bool ok = RemoveLeftover(path) && file->CreateNew(path) && file->Write(bytes, size) == size &&
              file->Flush() && SyncFolder(folder);
    free(bytes);
    if (!ok) {
        LogLine("cannot write the journal %s: error %lu", path, ErrorCode());
        file->Close();
        DeletePath(path);
    }
    return ok;
}

static bool MarkComplete(FileObject* file) {
    unsigned char state[4];
    PutLe32(state, kStateComplete);
    return file->Seek(kJournalStateAt) && file->Write(state, 4) == 4 && file->Flush();
}

enum JournalRead { kJournalValid, kJournalInvalid, kJournalUnreadable };

// A journal that is short, damaged or names a path outside the folder was
// never flushed whole by a commit, so no change was made under it.
static JournalRead ReadJournal(const char* path, uint32_t* state, CommitStep** steps,
                               uint32_t* count) {
    FileObject file;
    if (!file.OpenRead(path)) return kJournalUnreadable;
    uint32_t size = file.GetSize();
    if (size == kInvalidSize) return kJournalUnreadable;
    if (size < kJournalHeaderSize || size > kJournalHeaderSize + kMaxCommitSteps * kJournalStepSize)
        return kJournalInvalid;
    unsigned char* bytes = (unsigned char*)malloc(size);
    if (!bytes) return kJournalUnreadable;
    if (file.Read(bytes, size) != size) {
        free(bytes);
        return kJournalUnreadable;
    }
    *state = GetLe32(bytes + kJournalStateAt);
    *count = GetLe32(bytes + 12);
    unsigned char digest[kDigestSize] = {};
    FeedDigest(digest, bytes + kJournalHeaderSize, size - kJournalHeaderSize);
    bool valid = memcmp(bytes, kJournalMagic, sizeof kJournalMagic) == 0 &&
                 (*state == kStateUnderway || *state == kStateComplete) &&
                 *count <= kMaxCommitSteps &&
                 size == kJournalHeaderSize + *count * kJournalStepSize &&
                 memcmp(digest, bytes + 16, kDigestSize) == 0;
    *steps = valid ? (CommitStep*)calloc(*count + 1, sizeof(CommitStep)) : nullptr;
    for (uint32_t i = 0; valid && i < *count; i++) {
        const unsigned char* record = bytes + kJournalHeaderSize + i * kJournalStepSize;
        (*steps)[i].existed = GetLe32(record);
        valid = (*steps)[i].existed <= 1 &&
                CopyField((*steps)[i].name, (const char*)record + 4, kMaxPath - 1) &&
                IsSafeInstallName((*steps)[i].name);
    }
    free(bytes);
    if (valid) return kJournalValid;
    free(*steps);
    *steps = nullptr;
    return kJournalInvalid;
}

// Undoes steps [0, done) in reverse and removes every temporary file. The
// journal goes only when everything is back; otherwise the next run finishes.
static uint32_t UndoCommit(const char* folder, const CommitStep* steps, uint32_t done,
                           uint32_t count, FileObject* journal, const char* journalPath) {
    LogLine("undoing the %lu steps begun", (unsigned long)done);
    bool whole = true;
    for (uint32_t i = done; i-- > 0;)
        if (!RestoreStep(folder, steps[i])) whole = false;
    DeleteStepTemps(folder, steps, count);
    journal->Close();
    if (!whole) {
        LogLine("the undo could not finish; the next update will finish it");
        return UPDATE_E_FAILED;
    }
    SyncStepFolders(folder, steps, count);
    if (DeletePath(journalPath))
        SyncFolder(folder);
    else
        LogLine("cannot delete %s: error %lu", journalPath, ErrorCode());
    LogLine("undo complete: the installation is as it was");
    return UPDATE_E_FAILED;
}

// Every step done: the set-aside files go, then the journal.
static void FinishCommit(const char* folder, const CommitStep* steps, uint32_t count,
                         const char* journalPath) {
    for (uint32_t i = 0; i < count; i++) {
        char aside[kMaxPath];
        if (!steps[i].existed || !StepPath(aside, folder, steps[i].name, kAsideSuffix) ||
            !Exists(aside))
            continue;
        // It keeps the old file's attributes: a read-only one is cleared first.
        if (!RemoveLeftover(aside)) LogLine("cannot delete %s: error %lu", aside, ErrorCode());
    }
    DeleteStepTemps(folder, steps, count);
    SyncStepFolders(folder, steps, count);
    if (DeletePath(journalPath))
        SyncFolder(folder);
    else
        LogLine("cannot delete %s: error %lu", journalPath, ErrorCode());
}

uint32_t RunCommit(const char* folder, const CommitStep* steps, uint32_t count, bool lastAlone) {
    char journalPath[kMaxPath];
    FileObject journal;
    if (!FormatText(journalPath, "%s\\%s", folder, kJournalName) ||
        !WriteJournal(&journal, folder, journalPath, steps, count)) {
        DeleteStepTemps(folder, steps, count);
        return UPDATE_E_FAILED;
    }
    LogLine("commit of %lu steps begins", (unsigned long)count);
    uint32_t result = UPDATE_OK;
    for (uint32_t i = 0; i < count; i++) {
        if (ApplyStep(folder, steps[i])) continue;
        if (lastAlone && i + 1 == count && RestoreStep(folder, steps[i])) {
            LogLine("%s stays as it was; everything else is installed", steps[i].name);
            result = UPDATE_E_UNINSTALL_LIST;
            break;
        }
        return UndoCommit(folder, steps, i + 1, count, &journal, journalPath);
    }
    if (!MarkComplete(&journal)) {
        LogLine("cannot mark the journal complete: error %lu", ErrorCode());
        return UndoCommit(folder, steps, count, count, &journal, journalPath);
    }
    journal.Close();
    LogLine("commit complete");
    FinishCommit(folder, steps, count, journalPath);
    return result;
}

uint32_t RecoverCommit(const char* folder) {
    char journalPath[kMaxPath];
    if (!FormatText(journalPath, "%s\\%s", folder, kJournalName)) return UPDATE_OK;
    if (!Exists(journalPath)) return UPDATE_OK;
    LogLine("an earlier update was interrupted: %s", journalPath);
    uint32_t state = 0, count = 0;
    CommitStep* steps = nullptr;
    JournalRead read = ReadJournal(journalPath, &state, &steps, &count);
    if (read == kJournalUnreadable) {
        LogLine("cannot read %s: error %lu", journalPath, ErrorCode());
        return UPDATE_E_FAILED;
    }
    if (read == kJournalInvalid) {
        LogLine("the journal was never completed, so nothing was changed; removing it");
        if (RemoveLeftover(journalPath)) return UPDATE_OK;
        LogLine("cannot delete %s: error %lu", journalPath, ErrorCode());
        return UPDATE_E_FAILED;
    }
    bool ok = true;
    if (state == kStateComplete) {
        LogLine("recovery: the commit was complete; removing what it set aside");
        for (uint32_t i = 0; ok && i < count; i++) {
            char aside[kMaxPath];
            if (steps[i].existed && StepPath(aside, folder, steps[i].name, kAsideSuffix) &&
                Exists(aside))
                ok = RemoveLeftover(aside);
        }
    } else {
        LogLine("recovery: undoing the %lu steps of the interrupted commit", (unsigned long)count);
        for (uint32_t i = count; ok && i-- > 0;)
            ok = RestoreStep(folder, steps[i]);
    }
    if (ok) {
        DeleteStepTemps(folder, steps, count);
        SyncStepFolders(folder, steps, count);
        ok = DeletePath(journalPath);
        if (!ok) LogLine("cannot delete %s: error %lu", journalPath, ErrorCode());
        if (ok) SyncFolder(folder);
    }
    free(steps);
    if (!ok) {
        LogLine("recovery could not finish; the journal is kept for the next run");
        return UPDATE_E_FAILED;
    }
    LogLine("recovery complete");
    return UPDATE_OK;
}
