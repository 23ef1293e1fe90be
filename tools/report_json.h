// The tool's findings as JSON, one object per run, for scripts and CI. The
// schema is documented in docs/patch-format.md; fields are only ever added.
#pragma once
#include "install_check.h"
#include "patch_inspect.h"
#include <string>

// list and verify: the same object, "command" tells them apart.
std::string PatchReportJson(const char* command, const std::string& file, const PatchReport& r);
std::string VersionListJson(const std::string& file, const VersionListFile& list, bool ok);
std::string InstallCheckJson(const std::string& folder, const InstallCheck& check, bool ok);
// The state list shows for an entry: list, match, MISMATCH, unlisted, MISSING.
const char* EntryState(const InspectedEntry& e);
