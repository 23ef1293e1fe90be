// New files in the install folder, and the one way a list is rewritten alone.
#include "replace_file.h"
#include "file_object.h"
#include "file_system.h"
#include "run_log.h"

bool WriteNewFile(const char* path, const void* head, uint32_t headSize, const void* body,
                  uint32_t bodySize) {
    if (!RemoveLeftover(path)) {
        LogLine("cannot clear the name %s: error %lu", path, (unsigned long)LastFileError());
        return false;
    }
    FileObject file;
    if (!file.CreateNew(path)) {
        LogLine("cannot create %s: error %lu", path, (unsigned long)LastFileError());
        return false;
    }
    bool ok = file.Write(head, headSize) == headSize;
    if (ok && bodySize) ok = file.Write(body, bodySize) == bodySize;
    if (ok) ok = file.Flush();
    if (!ok) LogLine("cannot write %s: error %lu", path, (unsigned long)LastFileError());
    file.Close();
    if (!ok) DeletePath(path);
    return ok;
}

bool ReplaceFileContents(const char* path, const char* tempPath, const void* head,
                         uint32_t headSize, const void* body, uint32_t bodySize) {
    if (!WriteNewFile(tempPath, head, headSize, body, bodySize)) return false;
    if (MoveReplace(tempPath, path)) return true;
    LogLine("cannot replace %s: error %lu", path, (unsigned long)LastFileError());
    DeletePath(tempPath);
    return false;
}
