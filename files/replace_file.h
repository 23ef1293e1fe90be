// Writing a file through a flushed temporary file beside it, so that a
// failure at any step leaves the old file exactly as it was.
#pragma once
#include <stdint.h>

// Writes head, then body when bodySize is not 0, to a new file at path and
// flushes it. A leftover at path (a read-only file, or a link planted there)
// is removed first, never followed; the file is created exclusively. Any
// failure removes what was created. True when path holds the bytes on disk.
bool WriteNewFile(const char* path, const void* head, uint32_t headSize, const void* body,
                  uint32_t bodySize);

// WriteNewFile to tempPath, then moves it over path. Any failure removes the
// temporary file. True when path now holds the new bytes.
bool ReplaceFileContents(const char* path, const char* tempPath, const void* head,
                         uint32_t headSize, const void* body, uint32_t bodySize);
