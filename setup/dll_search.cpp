// The choice between the two DLL search restrictions.
#include "dll_search.h"

#include "wide_text.h"

DllSearch RestrictDllSearchWith(SetDefaultDllDirectoriesCall setDefault,
                                SetDllDirectoryCall setDirectory) {
    if (setDefault && setDefault(kLoadLibrarySearchSystem32)) return DLL_SEARCH_SYSTEM32_ONLY;
    if (setDirectory && setDirectory(WIDE(""))) return DLL_SEARCH_NO_CURRENT;
    return DLL_SEARCH_UNRESTRICTED;
}
