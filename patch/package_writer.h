// Writes a payload package behind a stub: the stub padded with zeros to
// 0x70000, the title block, the archive and an optional package version list.
// Used by the maintainer tool and by the tests, whose knobs make damaged packages.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

struct WriterEntry {
    std::string name;                // entry name, Shift-JIS, as stored in the table
    std::string listPath;            // its path in the version list; empty: not listed
    std::vector<unsigned char> data; // the file's bytes
    bool wrongDigest = false;        // knob: the list records a digest off by one bit
};

struct WriterOptions {
    std::string title;                // Shift-JIS, at most 1023 bytes
    std::string magic;                // 12 bytes; empty means "VELMAR ARC20" (long entries)
    int listVersion = 2;              // 2 or 1; 0 writes no version list entry
    std::string listName = "KRN.hvl"; // entry name of the version list
    uint32_t countOverride = 0;       // knob: header count written instead of the real one
    uint32_t listCountOverride = 0;   // knob: list header count instead of the real one
    uint32_t truncateBy = 0;          // knob: cut this many bytes off the end
    int pastEndEntry = -1;            // knob: entries[i]'s size reaches past the end
};

// Builds the bytes of a patch: stub, padding, title, archive. The version list,
// when written, is the first entry. False with a reason when the stub reaches
// 0x70000 or a name or path does not fit its field.
bool BuildPackage(const std::vector<unsigned char>& stub, const WriterOptions& options,
                  const std::vector<WriterEntry>& entries, std::vector<unsigned char>* out,
                  std::string* error);
// BuildPackage, written to path through a temporary file beside it.
bool WritePackageFile(const std::string& path, const std::vector<unsigned char>& stub,
                      const WriterOptions& options, const std::vector<WriterEntry>& entries,
                      std::string* error);
