// Choosing the files of a patch: exclusion patterns with defaults for
// editor and system litter, and the comparison with a previous release.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

// Thumbs.db, desktop.ini, .DS_Store, AppleDouble files, version-control
// folders and editor backups: never meant for a player's installation.
extern const char* const kDefaultExcludes[];
extern const size_t kDefaultExcludeCount;

// True when pattern matches relative (UTF-8, '/' separators): a pattern
// without '/' is tried on every component, so ".git" excludes a folder at
// any depth; one with '/' on the whole path. '*' and '?' never match '/';
// ASCII letter case is ignored, as Windows ignores it.
bool MatchesExclude(const std::string& pattern, const std::string& relative);
// The pattern that excludes relative, or null.
const std::string* FindExclude(const std::vector<std::string>& patterns,
                               const std::string& relative);

// True when the two files hold the same bytes; false also when either
// cannot be read.
bool SameFileBytes(const std::string& a, const std::string& b);
