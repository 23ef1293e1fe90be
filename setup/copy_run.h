// The temporary copy of the installer: making it in the run's private folder
// and running it there.
#pragma once
#include <windows.h>

#include "path_parts.h"
#include "run_folder.h"

// Copies the candidate to a new file "KRN_%06d.exe" in the run's private
// folder, making that folder first if the run has none yet. Nothing that
// stands at a name is cleared or written through: the copy is always a new
// file. On success the copy record names the copy and *hold is a read handle
// on it that shares reading only, so that nothing can change, rename or
// delete the copy before it has run.
bool CopyToTemp(PathParts* copy, const PathParts& candidate, RunFolder* folder, HANDLE* hold);

// Starts the copy with the installer's folder and the launcher marker, the
// private folder as its current folder, and waits for its end. Closes hold on
// every path. True when it ran; the copy is removed by the caller.
bool RunAndWait(const PathParts& candidate, const PathParts& copy, HANDLE hold);
