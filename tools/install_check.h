// Checking an installation against its installed version list: every
// record's file digested and compared, for support on a player's PC.
#pragma once
#include "digest.h"
#include "patch_inspect.h"
#include "progress.h"
#include <string>
#include <vector>

enum CheckState { kCheckOk, kCheckChanged, kCheckMissing, kCheckUnreadable, kCheckUnsafe };

struct CheckedFile {
    std::string path; // Shift-JIS, as recorded
    CheckState state = kCheckMissing;
    unsigned char expected[kDigestSize] = {0};
    unsigned char found[kDigestSize] = {0}; // valid for ok and changed
};

struct InstallCheck {
    VersionListFile list;
    std::vector<CheckedFile> files;
};

// Content digest of the file at path (UTF-8), read a chunk at a time. False
// when it cannot be opened (missing set when it does not exist) or read.
bool DigestFile(const std::string& path, unsigned char (&digest)[kDigestSize], bool* missing,
                ProgressTally* progress = nullptr);
// Reads folder's KRN.hvl and checks each record's file. True only when the
// list reads cleanly and every file matches. progress is told the bytes read
// of the listed files' total size.
bool CheckInstallation(const std::string& folder, InstallCheck* check,
                       ProgressFn progress = nullptr, void* context = nullptr);
const char* CheckStateName(CheckState state);
