// RemovePath: clears read-only, empties folders depth first, and removes now or
// at restart, stopping at reparse points.
#include "remove_path.h"

#include "path_parts.h"
#include "wide_text.h"

static void RemoveContents(const RemoveOps& ops, const WideChar* path, uint32_t flags) {
    WideChar pattern[kPathUnits];
    if (!JoinWide(pattern, path, WIDE("\\*"))) return; // a tree this deep is left as is
    FolderEntry entry;
    void* find = ops.findFirst(pattern, &entry);
    if (!find) return;
    // The first entry is the folder's own "." on the file systems in use.
    while (ops.findNext(find, &entry)) {
        if (SameWide(entry.name, WIDE(".."))) continue;
        WideChar child[kPathUnits];
        if (JoinWide(child, path, WIDE("\\"), entry.name)) RemovePath(ops, child, flags);
    }
    ops.findClose(find);
}

bool RemovePath(const RemoveOps& ops, const WideChar* path, uint32_t flags) {
    uint32_t attributes = ops.getAttributes(path);
    if (attributes == kNoAttributes) return false;
    // Attribute calls act on a link itself, not on what it points to.
    if (flags & REMOVE_CLEAR_READONLY) ops.setAttributes(path, attributes & ~kAttrReadOnly);
    bool isLink = (attributes & kAttrReparsePoint) != 0;

    if (attributes & kAttrDirectory) {
        if (!(flags & REMOVE_FOLDERS)) return false;
        if ((flags & REMOVE_CONTENTS) && !isLink) RemoveContents(ops, path, flags);
        if (flags & REMOVE_AT_RESTART) return ops.removeAtRestart(path);
        // RemoveDirectoryW on a junction or folder link removes the link alone.
        return ops.removeFolder(path);
    }
    if (!(flags & REMOVE_FILES)) return false;
    if (flags & REMOVE_AT_RESTART) return ops.removeAtRestart(path);
    return ops.deleteFile(path); // a file link goes, its target stays
}

bool RemoveRunFolder(const RemoveOps& ops, const RunFolderEnd& end) {
    if (end.copy) {
        // The copy was made a plain new file where only administrators write.
        const uint32_t copyFlags = REMOVE_FILES;
        bool gone = ops.getAttributes(end.copy) == kNoAttributes;
        for (int i = 0; !gone && i < end.tries; i++) {
            if (i > 0) end.pause();
            gone = RemovePath(ops, end.copy, copyFlags);
        }
        if (!gone) RemovePath(ops, end.copy, kRemoveFileAtRestart);
    }
    end.release(end.context);
    return RemovePath(ops, end.folder, REMOVE_FOLDERS);
}
