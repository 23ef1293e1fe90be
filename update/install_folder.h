// Where the game is installed, as its installer recorded it in the registry.
#pragma once

const unsigned kInstallFolderSize = 260; // MAX_PATH

// Reads HKLM\Software\<company>\<product>, value "InstalledFolder", into
// dest: 1 on success, 0 when the key or value is missing, not REG_SZ, or
// does not fit 260 bytes with its terminator. The keys are Shift-JIS.
int ReadInstallFolder(char (&dest)[kInstallFolderSize], const char* companyKey,
                      const char* productKey);
