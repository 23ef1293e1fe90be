// The two-phase update: extract and verify every entry to a temporary file
// beside its target, then move all into place and record them.
#pragma once
#include <stdint.h>

// Installs the package appended to the running program into installFolder.
uint32_t RunUpdate(const char* installFolder);
// The same with the package read from packagePath (tests, and RunUpdate itself).
uint32_t InstallPackage(const char* installFolder, const char* packagePath);
