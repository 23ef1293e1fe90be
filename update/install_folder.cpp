// The install folder from the registry value "InstalledFolder".
#include "install_folder.h"
#include "run_log.h"
#include "strbuf.h"
#include <windows.h>

// KEY_READ without a view flag: a 32-bit update.exe reads the same view that
// the 32-bit installer wrote.
int ReadInstallFolder(char (&dest)[kInstallFolderSize], const char* companyKey,
                      const char* productKey) {
    if (!companyKey || !productKey) return 0;
    char keyPath[4096];
    if (!FormatText(keyPath, "%s\\%s\\%s", "Software", companyKey, productKey)) return 0;
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        LogLine("registry key HKLM\\%s not opened (error %ld)", keyPath, status);
        return 0;
    }
    DWORD type = 0;
    DWORD size = kInstallFolderSize;
    status = RegQueryValueExA(key, "InstalledFolder", NULL, &type, (BYTE*)dest, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        LogLine("registry value InstalledFolder not read (error %ld)", status);
        return 0;
    }
    if (type != REG_SZ) {
        LogLine("registry value InstalledFolder has type %lu, not REG_SZ", type);
        return 0;
    }
    // The stored bytes need not end with a NUL. A value that fills the whole
    // buffer without one would leave the path unterminated: treat it as no
    // installation. A shorter one is terminated right after its bytes.
    if (size == 0) {
        dest[0] = 0;
        return 1;
    }
    if (dest[size - 1] != 0) {
        if (size >= kInstallFolderSize) {
            LogLine("registry value InstalledFolder fills 260 bytes with no terminator");
            return 0;
        }
        dest[size] = 0;
    }
    return 1;
}
