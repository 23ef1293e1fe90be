// Unpacking a patch into a folder, laid out as update.exe would install it.
#pragma once
#include "progress.h"
#include <stdint.h>
#include <string>
#include <vector>

// Verifies the patch, then writes every entry under its install path below
// folder (the version list as KRN.hvl), a chunk at a time. Refuses a patch
// that does not verify, so nothing lands outside folder; an empty folder
// name; a folder holding KRN.hvl (an installation, whose list it would
// replace); and a folder holding anything unless intoNonEmpty. files gets
// the number of files written. progress sees the verifying read and the
// copy as one piece of work.
bool ExtractPatch(const std::string& patch, const std::string& folder, bool intoNonEmpty,
                  uint32_t* files, std::vector<std::string>* problems, bool allowTestTwin = false,
                  ProgressFn progress = nullptr, void* context = nullptr);
