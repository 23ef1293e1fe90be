// Rewriting a file through a flushed temporary file beside it, so that a
// failure at any step leaves the old file exactly as it was.
#pragma once
#include <stdint.h>

// Writes head, then body when bodySize is not 0, to tempPath; flushes it and
// moves it over path. A stale read-only tempPath is cleared first; any failure
// removes the temporary file. True when path now holds the new bytes.
bool ReplaceFileContents(const char* path, const char* tempPath, const void* head,
                         uint32_t headSize, const void* body, uint32_t bodySize);
