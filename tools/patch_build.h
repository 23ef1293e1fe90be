// Building a patch from a folder of replacement files: the folder scan, the
// checks made before anything is written, and the build itself.
#pragma once
#include "progress.h"
#include <stdint.h>
#include <string>
#include <vector>

// One file of the replacement folder.
struct PatchSource {
    std::string hostPath;    // UTF-8, for opening
    std::string shownPath;   // UTF-8, relative, '/' separators, for messages
    std::string installPath; // Shift-JIS, backslashes: its path in the version list
    std::string entryName;   // Shift-JIS file-name part: its name in the archive
    uint64_t size = 0;
};

// Everything the checks need, before a byte of the files is read.
struct PatchPlan {
    uint64_t stubSize = 0;
    std::string title; // Shift-JIS
    std::vector<PatchSource> files;
    bool allowEmpty = false;
    bool folderProblems = false; // the scan refused something: "no files" would mislead
    uint32_t unchangedFromBase = 0;
};

struct BuildRequest {
    std::string stubPath;
    std::string title; // UTF-8
    std::string folder;
    std::string outPath;
    bool allowEmpty = false;
    bool allowTestTwin = false;        // tests: the 64-bit twin of update.exe as the stub
    std::string basePath;              // previous release: only files that differ go in
    std::vector<std::string> excludes; // patterns, after the default ones
    bool dryRun = false;               // plan and check, write nothing
    ProgressFn progress = nullptr;
    void* progressContext = nullptr;
};

struct BuildSummary {
    std::vector<PatchSource> planned;  // the files going in, in patch order
    std::vector<std::string> excluded; // "path (pattern)"
    uint32_t unchanged = 0;            // files equal to the base's, left out
    std::vector<std::string> removed;  // in the base, gone now: a patch cannot delete
    std::vector<std::string> folders;  // install folders the player's side must have
    uint32_t files = 0;
    uint64_t payloadBytes = 0; // the files' bytes
    uint64_t patchBytes = 0;   // the whole patch
    std::string sha256;        // of the whole patch, lowercase hex
};

const uint32_t kMaxPatchFiles = 255;          // the version list is the 256th entry
const uint64_t kMaxPatchSize = 0x80000000ull; // update.exe seeks below 2 GiB only
const uint32_t kMaxTitleBytes = 1023;
const uint32_t kMaxEntryNameBytes = 95;
const uint32_t kMaxInstallPathBytes = 247;

// Lists every file below folder (recursively), sorted by install path bytes.
// Problems: an unreadable folder, names code page 932 cannot hold, entries
// that are neither files nor folders.
// Files and folders matching an exclude pattern are skipped and named in
// excluded ("path (pattern)").
bool ScanFolder(const std::string& folder, const std::vector<std::string>& excludes,
                std::vector<PatchSource>* files, std::vector<std::string>* excluded,
                std::vector<std::string>* problems);
// Size of the patch the plan gives.
uint64_t PlannedPatchSize(const PatchPlan& plan);
// Appends one line per reason the plan cannot make a sound patch.
void CheckPatchPlan(const PatchPlan& plan, std::vector<std::string>* problems);
// Reason an install path would be unsafe or unusable, or empty when it is fine.
std::string InstallPathProblem(const std::string& sjisPath);
// Appends the reasons update.exe would refuse these install names (Shift-JIS):
// unsafe ones, two naming one file, one landing on another's temporary file.
// labels name each for the messages.
void CheckInstallNameSet(const std::vector<std::string>& names,
                         const std::vector<std::string>& labels,
                         std::vector<std::string>* problems);
// Reason the stub (the whole file) cannot carry a patch, or empty: it must be
// update.exe's 32-bit image (the 64-bit twin only when allowed), unsigned.
std::string StubProblem(const unsigned char* stub, size_t size, bool allowTestTwin);
// Checks everything, then streams the patch into a temporary file, at most a
// chunk of any file in memory at a time. On false nothing was written and
// problems says why.
bool BuildPatch(const BuildRequest& request, BuildSummary* summary,
                std::vector<std::string>* problems);
