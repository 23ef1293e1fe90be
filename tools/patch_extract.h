// Unpacking a patch into a folder, laid out as update.exe would install it.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

// Verifies the patch, then writes every entry under its install path below
// folder (the version list as KRN.hvl). Refuses a patch that does not verify,
// so nothing lands outside folder. files gets the number of files written.
bool ExtractPatch(const std::string& patch, const std::string& folder, uint32_t* files,
                  std::vector<std::string>* problems);
