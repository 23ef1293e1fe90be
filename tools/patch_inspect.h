// Reading a finished patch the way update.exe will: its title, archive,
// version list and every entry's bytes, with every finding that would make
// update.exe fail or install something else than the maintainer meant.
#pragma once
#include "digest.h"
#include "progress.h"
#include <stdint.h>
#include <stdio.h>
#include <string>
#include <vector>

struct InspectedEntry {
    std::string name;    // Shift-JIS, bounded to its field
    uint32_t offset = 0; // from the data-area start
    uint32_t size = 0;
    std::string installName; // what update.exe installs it as (Shift-JIS)
    bool isList = false;     // the entry update.exe reads the version list from
    bool listed = false;     // the version list names it: expected holds its digest
    bool readable = false;   // all its bytes lie in the file below 2 GiB
    unsigned char expected[kDigestSize] = {0};
    unsigned char digest[kDigestSize] = {0};
};

struct ListedPath {
    std::string path; // Shift-JIS
    unsigned char digest[kDigestSize];
};

// What the PE headers at the start of a program say; false when there are none.
struct ImageFacts {
    uint16_t machine = 0;
    uint64_t imageEnd = 0;   // end of the last section's bytes in the file
    uint32_t certOffset = 0; // certificate table (a signature), 0 when unsigned
    uint32_t certSize = 0;
    uint32_t checksumAt = 0;  // file offset of the optional header's CheckSum
    uint32_t certEntryAt = 0; // of the certificate table's directory entry; 0 when none
};
bool ReadImageFacts(const unsigned char* data, size_t size, ImageFacts* facts);

// What verify found about an Authenticode signature.
struct SignatureReport {
    bool present = false;    // the certificate table holds an Authenticode signature
    std::string algorithm;   // of its image digest: "SHA-256", "SHA-1", or a dotted OID
    int digestMatches = -1;  // the file's image digest is the signed one: 1, 0, -1 not computed
    int signatureValid = -1; // the signer's signature over what it signed: 1, 0, -1 not judged
    std::string signer;      // the signing certificate's subject (UTF-8), "" when not had
    std::string chain;       // the judgement of the signer's certificate chain, in words
    std::string covered;     // what an OK says about the signature, in words
};

struct PatchReport {
    uint64_t fileSize = 0;
    uint16_t machine = 0;     // of the program image: 0x14C i386, 0x8664 x86-64, 0 none
    uint64_t imageEnd = 0;    // end of the image's last section in the file
    std::string title;        // Shift-JIS, up to its NUL (or the block's end)
    bool haveArchive = false; // header and table could be read
    std::string magic;        // the 12 magic bytes
    bool longEntries = false;
    uint32_t count = 0;
    uint32_t dataStart = 0;
    int listIndex = -1;      // entry of the version list, or -1
    int listVersion = 0;     // 2, 1, or 0 when unreadable
    bool listSealed = false; // the list carries the tool's seal and it matches
    std::vector<ListedPath> records;
    std::vector<InspectedEntry> entries;
    uint64_t payloadEnd = 0; // end of the last entry's bytes
    uint32_t certOffset = 0; // Authenticode certificate table, 0 when unsigned
    uint32_t certSize = 0;
    uint32_t checksumAt = 0;  // of the optional header's CheckSum, left out of a signature's digest
    uint32_t certEntryAt = 0; // of the certificate table's directory entry, left out too
    SignatureReport signature;
    bool notPatch = false;             // no payload or no program image: nothing else was looked at
    std::vector<std::string> errors;   // update.exe would fail or misbehave
    std::vector<std::string> warnings; // odd, but update.exe copes
};

// Reads the patch at path (UTF-8). False only when the file cannot be opened
// at all; every other finding lands in the report. A patch built on the
// 64-bit test twin is an error unless allowTestTwin (then a warning).
// progress, when given, hears of every byte read (the entries, then the
// whole file again for a signature's digest).
bool InspectPatch(const std::string& path, PatchReport* report, bool allowTestTwin = false,
                  ProgressFn progress = nullptr, void* progressContext = nullptr);

// The seal: the low 32 bits of the content digest's rolling value over the
// version list with its reserved field taken as zero, stored in that field.
// The updater ignores the field in the package's list; the seal lets verify
// notice a changed byte in a path, which no other check could see.
uint32_t ComputeListSeal(const unsigned char* list, size_t size);

void PrintPatchListing(const PatchReport& report, FILE* out);
// Prints the findings; true when there are no errors.
bool PrintVerdict(const PatchReport& report, FILE* out);

// A version list file ("KRN.hvl"): header and records, or false with a reason.
struct VersionListFile {
    std::string magic;
    uint32_t reserved = 0;
    uint32_t count = 0;
    std::vector<ListedPath> records;
    std::vector<std::string> problems;
};
bool ReadVersionListFile(const std::string& path, VersionListFile* list);
void PrintVersionListFile(const VersionListFile& list, FILE* out);
