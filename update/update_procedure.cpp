// The two-phase update: every entry is extracted to a temporary file beside
// its target and verified; only then are all of them moved into place and
// recorded in "KRN.hvl" and "uninst.lst".
#include "update_procedure.h"
#include "digest.h"
#include "file_object.h"
#include "file_system.h"
#include "install_names.h"
#include "package.h"
#include "progress.h"
#include "result_codes.h"
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
        SetPathAttributes(temp, kAttrNormal); // a read-only leftover of a killed run
        FileObject file;
        if (!file.Create(temp)) {
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
        file.Close();
        if (Interrupted() || !copied) return false;

        const VersionRecord* expected = run->expected[i];
        if (expected) {
            if (memcmp(digest, expected->digest, kDigestSize) != 0) {
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
        SetProgressPos(run->view.overallBar, i + 1);
        if (!Pump()) return false;
    }
    return true;
}

static bool TargetPath(char (&path)[kMaxPath], const char* folder, const char* name) {
    return FormatText(path, "%s\\%s", folder, name);
}

// A folder standing where a file goes can never be replaced by it. Found
// before the first move, it leaves the installation as it was instead of
// half updated.
static bool TargetsAreReplaceable(UpdateRun* run) {
    for (uint32_t i = 0; i < run->count; i++) {
        if (!run->tempFlags[i]) continue;
        char target[kMaxPath];
        if (!TargetPath(target, run->folder, run->nameTable[i])) return false;
        uint32_t attributes = GetPathAttributes(target);
        if (attributes != kInvalidAttributes && (attributes & kAttrDirectory)) return false;
    }
    return true;
}

// The move phase; moves done before a failure stay done.
static bool MoveAll(UpdateRun* run) {
    if (!TargetsAreReplaceable(run)) return false;
    for (uint32_t i = 0; i < run->count; i++) {
        if (!run->tempFlags[i]) continue;
        char temp[kMaxPath];
        char target[kMaxPath];
        if (!TempPath(temp, run->folder, run->nameTable[i])) return false;
        if (!TargetPath(target, run->folder, run->nameTable[i])) return false;
        SetPathAttributes(target, kAttrNormal); // a read-only target is replaced all the same
        if (!MoveReplace(temp, target)) return false;
    }
    return true;
}

static uint32_t RecordInstall(UpdateRun* run) {
    if (WriteInstalledList(run->installed, run->folder) != UPDATE_OK) return UPDATE_E_FAILED;
    PruneInstalledList(run->folder);
    if (!UpdateUninstallList(run->folder, run->nameTable)) return UPDATE_E_UNINSTALL_LIST;
    return UPDATE_OK;
}

// After a complete move phase nothing is left; otherwise every temporary file
// this run created goes. A path that did not fit was never created.
static void DeleteTempFiles(UpdateRun* run) {
    for (uint32_t i = 0; i < run->count; i++) {
        char temp[kMaxPath];
        if (run->tempFlags[i] && TempPath(temp, run->folder, run->nameTable[i])) DeletePath(temp);
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
        if (listEntry >= 0) ReadPackageList(&run->packageList, &run->package, (uint32_t)listEntry);
        result = ResolveInstallNames(run);
    }
    if (result == UPDATE_OK) {
        result = UPDATE_E_PACKAGE;
        SetUpProgress(run->view, count);
        bool complete = ExtractAll(run, &result);
        free(run->buffer);
        run->buffer = nullptr;
        if (complete && !Interrupted())
            result = MoveAll(run) ? RecordInstall(run) : UPDATE_E_FAILED;
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
