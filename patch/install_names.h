// Install names: the paths, relative to the install folder, under which the
// package entries are written. They come from the package, so they are checked
// before anything is written.
#pragma once
#include "file_system.h"
#include "result_codes.h"
#include "text.h"
#include <stdint.h>

// True for a relative path that stays inside the install folder and names a
// plain file there: not empty, no leading separator, no colon, no empty, "."
// or ".." component, no device name (CON, NUL, COM1...) as a component, no
// component ending in a dot or a blank, no character Windows refuses in a
// name, no leading blank (the uninstall list would drop it), and only
// characters that code page 932 defines. Scanned as Shift-JIS, so a trail
// byte 0x5C is no separator.
bool IsSafeInstallName(const char* name);

// The name as the file system compares it: decoded from code page 932, so that
// the code page's duplicate spellings of one character meet, with one
// separator ('\\') and letters case-folded. False for a name of kMaxPath
// bytes or more, or one holding a byte or pair the code page leaves undefined
// (every such pair decodes to the same U+30FB).
bool InstallNameKey(const char* name, WideChar (&key)[kMaxPath]);

// UPDATE_OK when every name is safe and no two name the same file (compared
// by InstallNameKey), no name is another's temporary or set-aside file
// ("<name>.tmp", "<name>.old"), one of the lists' ("KRN.hvl.tmp",
// "uninst.lst.tmp", "KRN.hvl.old", "uninst.lst.old"), the commit journal
// "KRNUpdate.jnl" or "uninst.lst" itself, and no name is a folder of another
// ("a" beside "a\\b");
// UPDATE_E_PACKAGE otherwise; UPDATE_E_FAILED when out of memory.
uint32_t CheckInstallNames(const char* const* names, uint32_t count);
