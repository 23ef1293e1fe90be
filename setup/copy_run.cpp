// Copying the installer into the run's private folder and running the copy.
#include "copy_run.h"

#include <string.h>

#include "remove_path.h"
#include "wide_text.h"

const uint32_t kLastCopyNumber = 99999;
const WideChar kLauncherMarker[] = L"Execute as a launcher.";
// Copy path, folder and marker, each up to a full path record, and the quotes.
const size_t kCommandLineUnits = 3 * kPathUnits + 8;
const DWORD kCopyChunk = 64 * 1024;

// One chunk of the copy in flight; setup copies one file at a time.
static unsigned char gCopyBuffer[kCopyChunk];

// Writes the candidate's bytes into the new file; false on any short read or write.
static bool CopyBytes(HANDLE from, HANDLE to) {
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(from, gCopyBuffer, kCopyChunk, &got, nullptr)) return false;
        if (got == 0) return true;
        DWORD written = 0;
        if (!WriteFile(to, gCopyBuffer, got, &written, nullptr) || written != got) return false;
    }
}

bool CopyToTemp(PathParts* copy, const PathParts& candidate, RunFolder* folder, HANDLE* hold) {
    *hold = INVALID_HANDLE_VALUE;
    if (!candidate.path[0]) return false; // refused by the record
    DWORD attributes = GetFileAttributesW(candidate.path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    if (folder->hold == INVALID_HANDLE_VALUE && !MakeRunFolder(folder)) return false;
    HANDLE from = CreateFileW(candidate.path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (from == INVALID_HANDLE_VALUE) return false;

    bool made = false;
    for (uint32_t n = 0; n <= kLastCopyNumber && !made; n++) {
        WideChar name[kCopyNameUnits];
        FormatCopyName(name, n);
        WideChar copyPath[kPathUnits];
        // Every name has the same length, so one that does not fit means none does.
        if (!JoinWide(copyPath, folder->path, L"\\", name) || !copy->SetPath(copyPath)) break;
        // Only a copy of an earlier candidate that could not be removed stands in the way.
        HANDLE to = CreateFileW(copyPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        if (to == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            break;
        }
        bool copied = CopyBytes(from, to);
        CloseHandle(to);
        // A writer must be gone before the image can run, so the copy is held
        // anew; only administrators can reach it in between.
        if (copied)
            *hold = CreateFileW(copyPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        if (*hold != INVALID_HANDLE_VALUE) {
            made = true;
        } else {
            RemovePath(copyPath, REMOVE_FILES);
            break; // the candidate cannot be copied: the search goes on
        }
    }
    CloseHandle(from);
    return made;
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
    // The current folder is the private one: a DLL planted in the user's
    // temporary folder is never beside or under the elevated installer.
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
    return true;
}
