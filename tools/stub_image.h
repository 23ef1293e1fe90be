// Telling update.exe from any other program: the stub a patch is built on
// and the program in front of a patch's payload.
#pragma once
#include <stddef.h>
#include <stdint.h>

const uint16_t kMachineI386 = 0x14C;
const uint16_t kMachineAmd64 = 0x8664; // the test twin

// True when the image's version resource names update.exe as its original
// file name. The resource compiler stores the key and the value as UTF-16LE,
// so the pair is stable across builds, versions and linkers.
bool HasUpdateIdentity(const unsigned char* image, size_t size);
