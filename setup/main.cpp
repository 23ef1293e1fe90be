// setup.exe: finds the installer beside itself or in an immediate sub-folder,
// runs a copy of it in a private folder of its own, waits for it and removes
// the copy and the folder. No window,
// no message, exit code 0 on every path; its own arguments are not read.
#include <windows.h>

#include <new>

#include "copy_run.h"
#include "dll_search.h"
#include "remove_path.h"
#include "wide_text.h"

const WideChar kInstallerName[] = L"KRNForInstalling.exe";
// Removal tries after the installer has ended, 10 ms apart: about a second.
const int kRemoveTries = 100;

// setup runs elevated from a medium or a download folder: DLLs come from the
// system folder only, or at least not from the current folder. Both calls are
// looked up because older systems lack them.
static void RestrictDllSearch() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return;
    SetDefaultDllDirectoriesCall setDefault = reinterpret_cast<SetDefaultDllDirectoriesCall>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    SetDllDirectoryCall setDirectory = reinterpret_cast<SetDllDirectoryCall>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDllDirectoryW")));
    RestrictDllSearchWith(setDefault, setDirectory);
}

static void PauseBetweenTries() {
    Sleep(10);
}

static void ReleaseFolder(void* folder) {
    ReleaseRunFolder(static_cast<RunFolder*>(folder));
}

// The three path records of one run.
struct SetupRecords {
    PathParts own;       // the running executable; its folder is the base folder
    PathParts candidate; // the installer being tried
    PathParts copy;      // its temporary copy
};

// A candidate whose path does not fit a record counts as not found.
static bool TryCandidate(SetupRecords* r, const WideChar* candidatePath, RunFolder* folder,
                         HANDLE* hold) {
    return r->candidate.SetPath(candidatePath) && CopyToTemp(&r->copy, r->candidate, folder, hold);
}

static void RunSetup(SetupRecords* r) {
    WideChar modulePath[kPathUnits];
    DWORD length = GetModuleFileNameW(nullptr, modulePath, kPathUnits);
    if (length == 0 || length >= kPathUnits || !r->own.SetPath(modulePath)) return;
    const WideChar* base = r->own.folder;

    RunFolder folder;
    folder.hold = INVALID_HANDLE_VALUE;
    HANDLE hold = INVALID_HANDLE_VALUE;
    HANDLE find = INVALID_HANDLE_VALUE;
    WideChar candidatePath[kPathUnits];
    bool copied = JoinWide(candidatePath, base, L"\\", kInstallerName) &&
                  TryCandidate(r, candidatePath, &folder, &hold);
    if (!copied) {
        // Immediate sub-folders in the order the file system yields them.
        WideChar pattern[kPathUnits];
        WIN32_FIND_DATAW entry;
        if (JoinWide(pattern, base, L"\\*")) find = FindFirstFileW(pattern, &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                Sleep(0);
                if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
                if (SameWide(entry.cFileName, L".") || SameWide(entry.cFileName, L"..")) continue;
                copied =
                    JoinWide(candidatePath, base, L"\\", entry.cFileName, L"\\", kInstallerName) &&
                    TryCandidate(r, candidatePath, &folder, &hold);
            } while (!copied && FindNextFileW(find, &entry));
        }
    }
    bool ran = copied && RunAndWait(r->candidate, r->copy, hold);
    if (folder.hold != INVALID_HANDLE_VALUE) {
        // A copy that cannot go now (or never ran) goes at the next restart.
        RunFolderEnd end = {folder.path,
                            copied ? r->copy.path : nullptr,
                            ran ? kRemoveTries : 0,
                            PauseBetweenTries,
                            ReleaseFolder,
                            &folder};
        RemoveRunFolder(kWin32RemoveOps, end);
    }
    // The enumeration stays open until the installer has ended.
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    RestrictDllSearch();
    SetupRecords* records = new (std::nothrow) SetupRecords;
    if (records) {
        RunSetup(records);
        delete records;
    }
    return 0;
}
