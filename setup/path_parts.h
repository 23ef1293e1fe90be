// The path record of setup: one path, whole and split at its last backslash,
// in UTF-16 for the W calls and in UTF-8 for the split.
#pragma once
#include <stddef.h>

#include "text.h"

// Units (UTF-16) or bytes (UTF-8) of each field, the NUL included: a path that
// a record holds has at most 779 of either.
const size_t kPathUnits = 780;

struct PathParts {
    char folderUtf8[kPathUnits]; // pathUtf8 cut at its last backslash
    char pathUtf8[kPathUnits];
    WideChar path[kPathUnits];
    WideChar folder[kPathUnits]; // empty when no backslash, or only a leading one

    PathParts();
    // False when the path does not fit (in UTF-16 or in UTF-8) or cannot be
    // converted; the record is then empty. A path is never cut.
    bool SetPath(const WideChar* widePath);
    // Narrow text, UTF-8 or Shift-JIS as ClassifyText decides.
    bool SetNarrowPath(const char* narrowPath);
    const WideChar* GetPath() const { return path; }
    const WideChar* GetFolder() const { return folder; }

  private:
    void Clear();
};
