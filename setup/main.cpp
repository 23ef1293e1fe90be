// setup.exe: finds the installer beside itself or in an immediate sub-folder,
// runs a temporary copy of it, waits for it and removes the copy. No window,
// no message, exit code 0 on every path; its own arguments are not read.
#include <windows.h>

#include <new>

#include "copy_run.h"
#include "remove_path.h"
#include "wide_text.h"

const WideChar kInstallerName[] = L"KRNForInstalling.exe";
const DWORD kLoadLibrarySearchSystem32 = 0x800;

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD);

// setup runs elevated from a medium or a download folder: DLLs come from the
// system folder only. The call is looked up because older systems lack it.
static void RestrictDllSearch() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC proc = kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
    if (!proc) return;
    SetDefaultDllDirectoriesFn setDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(proc));
    setDirectories(kLoadLibrarySearchSystem32);
}

// The three path records of one run.
struct SetupRecords {
    PathParts own;       // the running executable; its folder is the base folder
    PathParts candidate; // the installer being tried
    PathParts copy;      // its temporary copy
};

// A candidate whose path does not fit a record counts as not found.
static bool TryCandidate(SetupRecords* r, const WideChar* candidatePath, HANDLE* hold) {
    return r->candidate.SetPath(candidatePath) && CopyToTemp(&r->copy, r->candidate, hold);
}

static void RunSetup(SetupRecords* r) {
    WideChar modulePath[kPathUnits];
    DWORD length = GetModuleFileNameW(nullptr, modulePath, kPathUnits);
    if (length == 0 || length >= kPathUnits || !r->own.SetPath(modulePath)) return;
    const WideChar* base = r->own.folder;

    HANDLE hold = INVALID_HANDLE_VALUE;
    HANDLE find = INVALID_HANDLE_VALUE;
    WideChar candidatePath[kPathUnits];
    bool copied = JoinWide(candidatePath, base, L"\\", kInstallerName) &&
                  TryCandidate(r, candidatePath, &hold);
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
                    TryCandidate(r, candidatePath, &hold);
            } while (!copied && FindNextFileW(find, &entry));
        }
    }
    if (copied) {
        RunAndWait(r->candidate, r->copy, hold);
        // A copy still there (the installer may hold it) goes at the next restart.
        RemovePath(r->copy.path, kRemoveFileAtRestart);
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
