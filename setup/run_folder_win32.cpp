// The private folder of one run: created and opened in one step with a DACL
// for administrators and the system alone, and held open.
#include "run_folder.h"

#include <sddl.h>
#include <winternl.h>

#include "wide_text.h"

const uint32_t kLastRunFolderNumber = 99999;
// Protected, so nothing of the temporary folder's own ACL is inherited.
const WideChar kRunFolderAcl[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
// Listing access makes the open count for sharing: one for attributes alone
// would not keep a later open for deletion (a rename) out.
const DWORD kHoldAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;

// From the kernel's status codes, which windows.h leaves out.
const NTSTATUS kStatusObjectNameInvalid = (NTSTATUS)0xC0000033L;
const NTSTATUS kStatusObjectNameCollision = (NTSTATUS)0xC0000035L;

static bool StartsWith(const WideChar* text, const WideChar* head) {
    while (*head)
        if (*text++ != *head++) return false;
    return true;
}

// Creates the folder and opens it in one step, so that the handle is the new
// folder itself: made with CreateDirectoryW and then opened by name, it could
// be renamed away and replaced by a folder of the user's in between. Fails
// with a name collision when anything stands at the name, a link included.
static NTSTATUS CreateAndHold(const WideChar* path, PSECURITY_DESCRIPTOR descriptor, HANDLE* hold) {
    // The kernel's name for the path: "\??\" before a drive path, "\??\UNC\" for a share.
    WideChar ntPath[kPathUnits + 8];
    bool joined;
    if (StartsWith(path, L"\\\\?\\"))
        joined = JoinWide(ntPath, L"\\??\\", path + 4);
    else if (StartsWith(path, L"\\\\"))
        joined = JoinWide(ntPath, L"\\??\\UNC\\", path + 2);
    else
        joined = JoinWide(ntPath, L"\\??\\", path);
    if (!joined) return kStatusObjectNameInvalid;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ntPath);
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, nullptr, descriptor);
    IO_STATUS_BLOCK io;
    // No delete sharing: the folder can be neither renamed nor removed while held.
    return NtCreateFile(hold, kHoldAccess, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                        FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

// The path that the system resolved for the handle, in its plain form. Every
// later step names the folder by it, so that a link on the way to the
// temporary folder, changed afterwards, cannot send them elsewhere; no part
// of it can change while the folder, which is inside it, is held.
static bool ResolvedPath(HANDLE folder, WideChar (&path)[kPathUnits]) {
    const DWORD kUnits = kPathUnits + 8; // room for "\\?\UNC\"
    WideChar resolved[kUnits];
    DWORD length =
        GetFinalPathNameByHandleW(folder, resolved, kUnits, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= kUnits) return false;
    if (StartsWith(resolved, L"\\\\?\\UNC\\")) return JoinWide(path, L"\\\\", resolved + 8);
    if (StartsWith(resolved, L"\\\\?\\")) return JoinWide(path, resolved + 4);
    return JoinWide(path, resolved);
}

// Made in one step, the folder can hold nothing else; still, no link is used.
static bool IsPlainFolder(HANDLE folder) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder, &info)) return false;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool MakeRunFolder(RunFolder* folder) {
    folder->path[0] = 0;
    folder->hold = INVALID_HANDLE_VALUE;
    WideChar temp[kPathUnits];
    DWORD length = GetTempPathW(kPathUnits, temp);
    if (length == 0 || length >= kPathUnits) return false;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kRunFolderAcl, SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return false;

    for (uint32_t n = 0; n <= kLastRunFolderNumber; n++) {
        WideChar name[kCopyNameUnits];
        FormatRunFolderName(name, n);
        WideChar path[kPathUnits];
        if (!JoinWide(path, temp, name)) break; // every name has the same length
        HANDLE hold = INVALID_HANDLE_VALUE;
        NTSTATUS status = CreateAndHold(path, descriptor, &hold);
        if (status == kStatusObjectNameCollision) continue; // never reused
        if (!NT_SUCCESS(status)) break; // the temporary folder takes no folder at all
        if (IsPlainFolder(hold) && ResolvedPath(hold, folder->path)) {
            folder->hold = hold;
        } else {
            // Left empty where it is: only administrators can reach it.
            CloseHandle(hold);
            folder->path[0] = 0;
        }
        break;
    }
    LocalFree(descriptor);
    return folder->hold != INVALID_HANDLE_VALUE;
}

void ReleaseRunFolder(RunFolder* folder) {
    if (folder->hold != INVALID_HANDLE_VALUE) CloseHandle(folder->hold);
    folder->hold = INVALID_HANDLE_VALUE;
}
