// Shared by the fuzz targets: a check that stops the run with its reason,
// patches written from payload bytes, and snapshots of whole folders.
#pragma once
#include "test_support.h"
#include <map>
#include <stddef.h>
#include <stdint.h>
#include <string>

// Unlike assert, kept in every build type: a failed check is a finding.
#define FUZZ_CHECK(cond) ((cond) ? (void)0 : FuzzFail(#cond, __FILE__, __LINE__))
[[noreturn]] void FuzzFail(const char* what, const char* file, int line);

// A patch at path (program form): zeros up to 0x70000 (a hole, so cheap), then payload.
bool WritePatchFile(const std::string& path, const uint8_t* payload, size_t size);
// The payload part (from 0x70000) of a whole patch.
Bytes PayloadOf(const Bytes& patch);
// A small patch built by the package writer, as the seeds and targets use.
Bytes BuildSeedPatch(const WriterOptions& options, const std::vector<WriterEntry>& entries);

// Every file and folder below a host folder (UTF-8, '/'): relative path ->
// bytes; folders end in '/' and map to nothing.
typedef std::map<std::string, Bytes> Snapshot;
Snapshot TakeSnapshot(const std::string& hostFolder);

// A V2 version list holding these paths with the digests of these contents.
Bytes VersionListBytes(const std::vector<std::pair<std::string, Bytes>>& files);
