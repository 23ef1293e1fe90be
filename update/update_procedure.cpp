// The two-phase update: every entry is extracted to a temporary file beside
// its target and verified; only then are all of them, with the new "KRN.hvl"
// and "uninst.lst", put in place by one all-or-nothing commit.
#include "update_procedure.h"
#include "commit_journal.h"
#include "digest.h"
#include "file_object.h"
#include "file_system.h"
#include "install_names.h"
#include "package.h"
#include "progress.h"
#include "result_codes.h"
#include "run_log.h"
#include "strbuf.h"
#include "text.h"
#include "uninstall_list.h"
#include "version_list.h"
#include <stdlib.h>
#include <string.h>

// "%sをインストール中": the label while an entry is extracted.
static const char kInstallingFormat[] =
    "%s\x82\xf0\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5b\x83\x8b\x92\x86";
static const uint32_t kFileBarRange = 0xFFFF;

typedef char InstallName[kRecordPathSize];

// Everything one run holds; released before InstallPackage returns.
struct UpdateRun {
    const char* folder;
    ProgressView view;
    InstalledList installed;
    Package package;
    PackageList packageList;
    uint32_t count;
    InstallName* names;             // count names, copied from the package
    const char** nameTable;         // count + 1 pointers into names, null-terminated
    const VersionRecord** expected; // per entry its package record, or null
    uint32_t* tempFlags;            // 1 when entry i owns a temporary file
    unsigned char* buffer;          // the one copy buffer, kChunkSize bytes
};

static bool Interrupted() {
    return gCancelFlag || gCloseFlag;
}

// False when the pump met WM_QUIT, which counts as a close.
static bool Pump() {
    if (PumpMessages() != 1) return true;
    gCloseFlag = 1;
    return false;
}

static bool TempPath(char (&path)[kMaxPath], const char* folder, const char* name) {
    return FormatText(path, "%s\\%s.tmp", folder, name);
}

// The label is display only: a name too long for it is cut, never mid-character.
static void FormatLabel(char (&label)[kMaxPath], const char* name) {
    if (FormatText(label, kInstallingFormat, name)) return;
    for (size_t i = 0; label[i];) {
        if (!IsLeadByte((unsigned char)label[i])) {
            i++;
        } else if (!label[i + 1]) {
            label[i] = 0;
        } else {
            i += 2;
        }
    }
}

// The package's own version list is never written out under its name.
static bool IsVersionListName(const char* name) {
    return NamesMatch(name, "krn.hvl");
}

// Install name and expected digest of every entry, all checked before any
// temporary file exists: a name from the package must not lead outside the
// install folder, and two entries must not share a target or a temporary file.
static uint32_t ResolveInstallNames(UpdateRun* run) {
    for (uint32_t i = 0; i < run->count; i++) {
        char entryName[kLongNameSize + 1];
        GetEntryName(run->package, i, entryName);
        const VersionRecord* record = FindByFileName(run->packageList, entryName);
        bool fits = record ? CopyField(run->names[i], record->path, kRecordPathSize)
                           : CopyText(run->names[i], entryName);
        if (!fits) return UPDATE_E_PACKAGE;
        run->expected[i] = record;
        run->nameTable[i] = run->names[i];
    }
    return CheckInstallNames(run->nameTable, run->count);
}

// Copies entry i into file through the copy buffer, digesting each chunk
// between read and write. False on a short read or write (result set); a
// flag or WM_QUIT just ends the copy early.
static bool CopyEntry(UpdateRun* run, uint32_t i, FileObject* file,
                      unsigned char (&digest)[kDigestSize], uint32_t* result) {
    uint32_t size = GetEntrySize(run->package, i);
    uint32_t done = 0;
    uint32_t chunk = kChunkSize;
    while (done < size) {
        if (Interrupted()) return true;
        if (chunk > size - done) chunk = size - done;
        if (run->package.file.Read(run->buffer, chunk) != chunk) {
            *result = UPDATE_E_PACKAGE;
            return false;
        }
        FeedDigest(digest, run->buffer, chunk);
        if (file->Write(run->buffer, chunk) != chunk) {
            *result = UPDATE_E_FAILED;
            return false;
        }
        done += chunk;
        // 64-bit product: done * 65535 overflows 32 bits past 64 KiB.
        SetProgressPos(run->view.fileBar, (uint32_t)((uint64_t)done * kFileBarRange / size));
        if (!Pump()) return true;
    }
    return true;
}

// The extraction phase. True only when every entry was extracted and verified.
static bool ExtractAll(UpdateRun* run, uint32_t* result) {
    for (uint32_t i = 0; i < run->count; i++) {
        if (Interrupted()) return false;
        if (!SeekToEntry(&run->package, i)) {
            *result = UPDATE_E_PACKAGE;
            return false;
        }
        const char* name = run->nameTable[i];
        char label[kMaxPath];
        FormatLabel(label, name);
        SetProgressLabel(run->view, label);
        SetProgressPos(run->view.fileBar, 0);
        if (!Pump()) return false;

        if (IsVersionListName(name)) continue;

        char temp[kMaxPath];
        if (!TempPath(temp, run->folder, name)) {
            *result = UPDATE_E_FAILED;
            return false;
        }
        run->tempFlags[i] = 1;
        // The folder may be writable by the user: a leftover of a killed run
        // or a link planted at the name is removed, never written through.
        FileObject file;
        if (!RemoveLeftover(temp) || !file.CreateNew(temp)) {
            LogLine("cannot create %s: error %lu", temp, (unsigned long)LastFileError());
            *result = UPDATE_E_FAILED;
            return false;
        }
        unsigned char digest[kDigestSize] = {};
        bool copied = CopyEntry(run, i, &file, digest, result);
        // On disk before any move, so a replaced file is never left torn.
        if (copied && !Interrupted() && !file.Flush()) {
            *result = UPDATE_E_FAILED;
            copied = false;
        }
        if (!copied) LogLine("cannot extract %s: error %lu", temp, (unsigned long)LastFileError());
        file.Close();
        if (Interrupted() || !copied) return false;

        const VersionRecord* expected = run->expected[i];
        if (expected) {
            if (memcmp(digest, expected->digest, kDigestSize) != 0) {
                LogLine("%s does not match its digest in the package", name);
                *result = UPDATE_E_PACKAGE;
                return false;
            }
            int record = FindByPath(run->installed, name);
            if (record >= 0) {
                SetDigest(&run->installed, record, expected->digest);
            } else if (!AppendRecord(&run->installed, name, expected->digest)) {
                *result = UPDATE_E_FAILED;
                return false;
            }
        }
        LogLine("extracted %s", temp);
        SetProgressPos(run->view.overallBar, i + 1);
        if (!Pump()) return false;
    }
    return true;
}

// The commit's steps: every extracted entry, then "KRN.hvl", then, when its
// new form could be prepared, "uninst.lst" (last, as it alone may fail).
// Both lists are written and flushed to their temporary files first, the
// installed one pruned in memory of files that are gone and not coming.
static uint32_t CommitInstall(UpdateRun* run) {
    CommitStep* steps = (CommitStep*)calloc(run->count + 2, sizeof(CommitStep));
    if (!steps) return UPDATE_E_FAILED;
    uint32_t count = 0;
    for (uint32_t i = 0; i < run->count; i++)
        if (run->tempFlags[i]) CopyText(steps[count++].name, run->nameTable[i]);
    // From here the steps own the temporary files.
    memset(run->tempFlags, 0, run->count * sizeof(uint32_t));

    uint32_t result = UPDATE_E_FAILED;
    char listTemp[kMaxPath], uninstall[kMaxPath], uninstallTemp[kMaxPath];
    DropMissingRecords(&run->installed, run->folder, run->nameTable);
    if (FormatText(listTemp, "%s\\KRN.hvl%s", run->folder, kTempSuffix) &&
        WriteInstalledListTo(run->installed, listTemp) == UPDATE_OK) {
        CopyText(steps[count++].name, "KRN.hvl");
        result = UPDATE_OK;
    }
    bool uninstallReady = false;
    if (result == UPDATE_OK) {
        uninstallReady = FormatText(uninstall, "%s\\uninst.lst", run->folder) &&
                         FormatText(uninstallTemp, "%s%s", uninstall, kTempSuffix) &&
                         PrepareUninstallList(uninstall, run->nameTable, uninstallTemp);
        if (uninstallReady)
            CopyText(steps[count++].name, "uninst.lst");
        else
            LogLine("the uninstall list cannot be updated: error %lu",
                    (unsigned long)LastFileError());
        result = PrepareCommit(run->folder, steps, count);
    }
    if (result == UPDATE_OK) {
        result = RunCommit(run->folder, steps, count, uninstallReady);
        if (result == UPDATE_OK && !uninstallReady) result = UPDATE_E_UNINSTALL_LIST;
    } else {
        DeleteStepTemps(run->folder, steps, count);
    }
    free(steps);
    return result;
}

// Every temporary file of an extraction that did not reach the commit goes
// (the commit removes its own). A path that did not fit was never created.
static void DeleteTempFiles(UpdateRun* run) {
    for (uint32_t i = 0; i < run->count; i++) {
        char temp[kMaxPath];
        if (run->tempFlags[i] && TempPath(temp, run->folder, run->nameTable[i]) &&
            GetPathAttributes(temp) != kInvalidAttributes && !DeletePath(temp))
            LogLine("cannot delete %s: error %lu", temp, (unsigned long)LastFileError());
    }
}

static void SetUpProgress(const ProgressView& view, uint32_t count) {
    SetProgressRange(view.fileBar, kFileBarRange);
    SetProgressPos(view.fileBar, 0);
    SetProgressRange(view.overallBar, count);
    SetProgressPos(view.overallBar, 0);
    Pump();
}

// Everything after the package is open, ending with the clean-up.
static uint32_t InstallEntries(UpdateRun* run) {
    uint32_t count = run->package.count;
    run->count = count;
    run->names = (InstallName*)malloc((count + 1) * sizeof(InstallName));
    run->nameTable = (const char**)calloc(count + 1, sizeof(const char*));
    run->expected = (const VersionRecord**)calloc(count + 1, sizeof(const VersionRecord*));
    run->tempFlags = (uint32_t*)calloc(count + 1, sizeof(uint32_t));
    run->buffer = (unsigned char*)malloc(kChunkSize);

    uint32_t result = UPDATE_E_FAILED; // out of memory
    if (run->names && run->nameTable && run->expected && run->tempFlags && run->buffer) {
        int listEntry = FindVersionListEntry(run->package);
        // Going on without a list that could not be read would install
        // every entry at the top of the folder.
        if (listEntry >= 0 &&
            !ReadPackageList(&run->packageList, &run->package, (uint32_t)listEntry)) {
            LogLine("cannot read the package's version list: error %lu",
                    (unsigned long)LastFileError());
            result = UPDATE_E_PACKAGE;
        } else {
            result = ResolveInstallNames(run);
        }
    }
    if (result == UPDATE_OK) {
        result = UPDATE_E_PACKAGE;
        SetUpProgress(run->view, count);
        bool complete = ExtractAll(run, &result);
        free(run->buffer);
        run->buffer = nullptr;
        if (complete && !Interrupted()) result = CommitInstall(run);
        DeleteTempFiles(run);
    }
    free(run->buffer);
    free(run->names);
    free(run->nameTable);
    free(run->expected);
    free(run->tempFlags);
    FreePackageList(&run->packageList);
    return result;
}

uint32_t InstallPackage(const char* installFolder, const char* packagePath) {
    UpdateRun run{};
    run.folder = installFolder;
    OpenProgressView(&run.view);
    // A commit a killed run left half done is undone before anything is read.
    if (RecoverCommit(installFolder) != UPDATE_OK) return UPDATE_E_FAILED;
    if (ReadInstalledList(&run.installed, installFolder) != UPDATE_OK) {
        FreeInstalledList(&run.installed);
        return UPDATE_E_FAILED; // nothing else has happened, flags or not
    }
    uint32_t result = OpenPackage(&run.package, packagePath);
    if (result == UPDATE_OK) result = InstallEntries(&run);
    ClosePackage(&run.package);
    // The user's choice outranks whatever the run came to; cancel outranks close.
    if (gCloseFlag) result = UPDATE_E_CLOSED;
    if (gCancelFlag) result = UPDATE_E_CANCELLED;
    FreeInstalledList(&run.installed);
    return result;
}

uint32_t RunUpdate(const char* installFolder) {
    char path[kMaxPath];
    // Without the module's own name the package is looked for as "setup.exe"
    // in the current folder, which then fails as a damaged package.
    if (!GetOwnModulePath(path, sizeof path)) CopyText(path, "setup.exe");
    return InstallPackage(installFolder, path);
}
