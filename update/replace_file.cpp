// The one way the updater's lists are rewritten on disk.
#include "replace_file.h"
#include "file_object.h"
#include "file_system.h"

bool ReplaceFileContents(const char* path, const char* tempPath, const void* head,
                         uint32_t headSize, const void* body, uint32_t bodySize) {
    SetPathAttributes(tempPath, kAttrNormal); // a stale read-only leftover would refuse the create
    FileObject file;
    if (!file.Create(tempPath)) return false;
    bool ok = file.Write(head, headSize) == headSize;
    if (ok && bodySize) ok = file.Write(body, bodySize) == bodySize;
    if (ok) ok = file.Flush();
    file.Close();
    if (ok) ok = MoveReplace(tempPath, path);
    if (!ok) DeletePath(tempPath);
    return ok;
}
