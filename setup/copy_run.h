// The temporary copy of the installer: making it, running it, removing it.
#pragma once
#include <windows.h>

#include "path_parts.h"

// Copies the candidate to the first free name "KRN_%06d.exe" in the temporary
// folder, clearing whatever stood there. On success the copy record names the
// copy and *hold is a read handle on it that shares reading only, so that no
// other process can change, rename or delete the copy before it has run.
bool CopyToTemp(PathParts* copy, const PathParts& candidate, HANDLE* hold);

// Starts the copy with the installer's folder and the launcher marker, waits
// for its end, closes hold (on every path) and removes the copy. True when it
// ran and the copy is gone.
bool RunAndWait(const PathParts& candidate, const PathParts& copy, HANDLE hold);
