// Result codes of the update procedure; the exit status of update.exe carries them bit for bit.
#pragma once
#include <stdint.h>

const uint32_t UPDATE_OK = 0;
const uint32_t UPDATE_E_PACKAGE = 0x80000001;        // package unreadable, truncated or damaged
const uint32_t UPDATE_E_PACKAGE_COUNT = 0x80000002;  // more than 256 entries
const uint32_t UPDATE_E_FAILED = 0x80000004;         // installation could not be written
const uint32_t UPDATE_E_UNINSTALL_LIST = 0x80000005; // files in place, uninst.lst not updated
const uint32_t UPDATE_E_CANCELLED = 0x80000006;      // user confirmed the cancel question
const uint32_t UPDATE_E_CLOSED = 0x80000007;         // dialog closed or WM_QUIT met
