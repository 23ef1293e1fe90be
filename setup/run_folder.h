// The private folder of one run, inside the user's temporary folder. setup
// runs elevated, and the temporary folder is the user's: any process of the
// user may plant links or DLLs there. So the copy is made, run and removed in
// a folder that this run creates fresh, that only administrators and the
// system can write, and that stays open without delete sharing for the whole
// run, so that it can be neither renamed nor swapped for a link.
#pragma once
#include <windows.h>

#include "path_parts.h"

struct RunFolder {
    WideChar path[kPathUnits]; // as the system resolved it: no link on the way
    HANDLE hold;               // INVALID_HANDLE_VALUE while there is none
};

// Creates and holds the folder under the first free name "KRN_%06d.tmp" in the
// temporary folder. A name taken by anything is passed over, never reused.
bool MakeRunFolder(RunFolder* folder);

// Lets go of the folder; safe when none was made or it was let go already.
void ReleaseRunFolder(RunFolder* folder);
