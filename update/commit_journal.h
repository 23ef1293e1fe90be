// The commit: the replacements of one update made all-or-nothing. Each
// existing target is first set aside beside itself as "<name>.old", then its
// new file is moved in from "<name>.tmp"; the set-aside files are deleted
// only when every step has succeeded. A journal in the install folder names
// the steps before the first change, so that a failure is undone here and a
// kill or power cut is undone by the next run.
#pragma once
#include "file_system.h"
#include "result_codes.h"
#include <stdint.h>

extern const char kJournalName[];     // "KRNUpdate.jnl", in the install folder
extern const char kAsideSuffix[];     // ".old"
extern const char kTempSuffix[];      // ".tmp"
const uint32_t kMaxCommitSteps = 258; // 256 entries and the two lists

struct CommitStep {
    char name[kMaxPath]; // relative to the install folder
    uint32_t existed;    // a file was there: set aside, and put back on undo
};

// Before any change: makes sure every step's target can be replaced (no
// folder in the way, not held by another program; a held one is waited for
// a few seconds while the dialog is pumped), notes which exist and clears
// their set-aside names. UPDATE_OK or UPDATE_E_FAILED; a cancel or close
// confirmed while waiting ends it with the flag set and nothing changed.
uint32_t PrepareCommit(const char* folder, CommitStep* steps, uint32_t count);

// Writes the journal, then runs every step in order. Any failure undoes the
// steps done, in reverse, and removes every temporary file: UPDATE_E_FAILED,
// the journal kept only if the undo could not finish. With lastAlone the
// last step (the uninstall list) may fail alone: it is undone by itself and
// the rest stays, UPDATE_E_UNINSTALL_LIST. UPDATE_OK when all is in place.
uint32_t RunCommit(const char* folder, const CommitStep* steps, uint32_t count, bool lastAlone);

// Deletes each step's "<name>.tmp" that is there.
void DeleteStepTemps(const char* folder, const CommitStep* steps, uint32_t count);

// Called before a run reads anything: restores the state from before a
// commit that a killed run left half done (or finishes one that was
// complete), then deletes the journal. UPDATE_OK, also when there is none;
// UPDATE_E_FAILED when it could not finish, with the journal kept.
uint32_t RecoverCommit(const char* folder);
