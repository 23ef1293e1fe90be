// Which restriction of the DLL search a program can have on the system it runs
// on. The calls are looked up at run time, so they come in as pointers, null
// when the system lacks them.
#pragma once
#include <stdint.h>

#include "text.h"

#ifdef _WIN32
#define KRN_SYSTEM_CALL __stdcall
#else
#define KRN_SYSTEM_CALL
#endif

// SetDefaultDllDirectories and SetDllDirectoryW, BOOL results.
typedef int(KRN_SYSTEM_CALL* SetDefaultDllDirectoriesCall)(uint32_t directoryFlags);
typedef int(KRN_SYSTEM_CALL* SetDllDirectoryCall)(const WideChar* directory);

const uint32_t kLoadLibrarySearchSystem32 = 0x800;

enum DllSearch {
    DLL_SEARCH_SYSTEM32_ONLY, // default directories: the system folder alone
    DLL_SEARCH_NO_CURRENT,    // the current folder is out of the search
    DLL_SEARCH_UNRESTRICTED,  // neither call there or neither succeeded
};

// Asks for the system folder alone; where that call is missing (Vista and 7
// without the update that adds it) or fails, at least takes the current
// folder out of the search, as a planted DLL there is the commoner attack.
DllSearch RestrictDllSearchWith(SetDefaultDllDirectoriesCall setDefault,
                                SetDllDirectoryCall setDirectory);
