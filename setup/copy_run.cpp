// Copying the installer into the temporary folder and running the copy.
#include "copy_run.h"

#include <string.h>

#include "remove_path.h"
#include "wide_text.h"

const uint32_t kLastCopyNumber = 99999;
const WideChar kLauncherMarker[] = L"Execute as a launcher.";
// Copy path, folder and marker, each up to a full path record, and the quotes.
const size_t kCommandLineUnits = 3 * kPathUnits + 8;

// After a removal, something still standing that is a link must not be copied
// onto: CopyFileW would write through it into the link's target.
static bool IsLink(const WideChar* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool CopyToTemp(PathParts* copy, const PathParts& candidate, HANDLE* hold) {
    *hold = INVALID_HANDLE_VALUE;
    if (!candidate.path[0]) return false; // refused by the record
    DWORD attributes = GetFileAttributesW(candidate.path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;

    WideChar temp[kPathUnits];
    DWORD length = GetTempPathW(kPathUnits, temp);
    if (length == 0 || length >= kPathUnits) return false;
    for (uint32_t n = 0; n <= kLastCopyNumber; n++) {
        WideChar name[kCopyNameUnits];
        FormatCopyName(name, n);
        WideChar copyPath[kPathUnits];
        // Every name has the same length, so one that does not fit means none does.
        if (!JoinWide(copyPath, temp, name) || !copy->SetPath(copyPath)) return false;

        RemovePath(copyPath, kRemoveNow);
        if (IsLink(copyPath)) continue;
        if (!CopyFileW(candidate.path, copyPath, FALSE)) continue;
        *hold = CreateFileW(copyPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (*hold != INVALID_HANDLE_VALUE) return true;
        // Someone else has it open already: not a copy we can vouch for.
        RemovePath(copyPath, kRemoveNow);
    }
    return false;
}

bool RunAndWait(const PathParts& candidate, const PathParts& copy, HANDLE hold) {
    WideChar commandLine[kCommandLineUnits];
    JoinWide(commandLine, copy.path, L" \"", candidate.folder, L"\" \"", kLauncherMarker, L"\"");

    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    // The application name is given so that a temporary path with blanks can
    // never start another program; the command line stays as installers expect.
    if (!CreateProcessW(copy.path, commandLine, nullptr, nullptr, FALSE, 0, nullptr,
                        copy.folder[0] ? copy.folder : nullptr, &startup, &process)) {
        CloseHandle(hold);
        return false;
    }
    Sleep(1);
    WaitForInputIdle(process.hProcess, INFINITE);
    WaitForSingleObject(process.hProcess, INFINITE);
    Sleep(1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(hold);

    for (int tries = 0; tries < 100; tries++) {
        if (RemovePath(copy.path, kRemoveNow)) return true;
        Sleep(10);
    }
    return false;
}
