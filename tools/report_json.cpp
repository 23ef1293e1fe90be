// Builds the JSON objects of list, verify, show-list and check.
#include "report_json.h"

#include "json_text.h"
#include "patch_text.h"
#include <string.h>

static std::string Num(uint64_t n) {
    return std::to_string(n);
}

static std::string Bool(bool b) {
    return b ? "true" : "false";
}

// 1 true, 0 false, -1 null: a check that was not made.
static std::string Tristate(int value) {
    return value < 0 ? "null" : Bool(value != 0);
}

static std::string OrNull(const std::string& utf8) {
    return utf8.empty() ? "null" : JsonString(utf8);
}

static std::string Digest(const unsigned char* d) {
    return JsonString(HexBytes(d, kDigestSize));
}

const char* EntryState(const InspectedEntry& e) {
    if (!e.readable) return "MISSING";
    if (e.isList) return "list";
    if (!e.listed) return "unlisted";
    return memcmp(e.digest, e.expected, kDigestSize) == 0 ? "match" : "MISMATCH";
}

std::string PatchReportJson(const char* command, const std::string& file, const PatchReport& r) {
    std::string j = "{\"command\": " + JsonString(command) + ", \"file\": " + JsonString(file) +
                    ", \"ok\": " + Bool(r.errors.empty()) + ", \"isPatch\": " + Bool(!r.notPatch) +
                    ", \"size\": " + Num(r.fileSize) + ", \"machine\": " + Num(r.machine) +
                    ", \"title\": " + JsonString(SjisToUtf8(r.title));
    if (r.haveArchive)
        j += ", \"archive\": {\"magic\": " + JsonString(EscapedBytes(r.magic)) +
             ", \"longEntries\": " + Bool(r.longEntries) + ", \"count\": " + Num(r.count) +
             ", \"dataStart\": " + Num(r.dataStart) + "}";
    else
        j += ", \"archive\": null";
    if (r.listIndex >= 0)
        j += ", \"versionList\": {\"entry\": " + Num((uint64_t)r.listIndex) +
             ", \"version\": " + Num((uint64_t)r.listVersion) +
             ", \"sealed\": " + Bool(r.listSealed) + ", \"records\": " + Num(r.records.size()) +
             "}";
    else
        j += ", \"versionList\": null";
    if (r.certSize) {
        const SignatureReport& s = r.signature;
        j += ", \"signature\": {\"offset\": " + Num(r.certOffset) +
             ", \"size\": " + Num(r.certSize) + ", \"present\": " + Bool(s.present) +
             ", \"digestAlgorithm\": " + OrNull(s.algorithm) +
             ", \"digestMatches\": " + Tristate(s.digestMatches) +
             ", \"signatureValid\": " + Tristate(s.signatureValid) +
             ", \"signer\": " + OrNull(s.signer) + ", \"chain\": " + OrNull(s.chain) +
             ", \"covered\": " + OrNull(s.covered) + "}";
    } else
        j += ", \"signature\": null";
    j += ", \"entries\": [";
    for (size_t i = 0; i < r.entries.size(); i++) {
        const InspectedEntry& e = r.entries[i];
        j += std::string(i ? ", " : "") + "{\"index\": " + Num(i) +
             ", \"name\": " + JsonString(SjisToUtf8(e.name)) +
             ", \"installPath\": " + JsonString(SjisToUtf8(e.installName)) +
             ", \"size\": " + Num(e.size) + ", \"state\": " + JsonString(EntryState(e)) +
             ", \"digest\": " + (e.readable ? Digest(e.digest) : "null") +
             ", \"expected\": " + (e.listed ? Digest(e.expected) : "null") + "}";
    }
    return j + "], \"errors\": " + JsonStrings(r.errors) +
           ", \"warnings\": " + JsonStrings(r.warnings) + "}";
}

std::string VersionListJson(const std::string& file, const VersionListFile& list, bool ok) {
    std::string j = "{\"command\": \"show-list\", \"file\": " + JsonString(file) +
                    ", \"ok\": " + Bool(ok) +
                    ", \"magic\": " + JsonString(EscapedBytes(list.magic)) +
                    ", \"reserved\": " + Num(list.reserved) + ", \"count\": " + Num(list.count) +
                    ", \"records\": [";
    for (size_t i = 0; i < list.records.size(); i++)
        j += std::string(i ? ", " : "") +
             "{\"path\": " + JsonString(SjisToUtf8(list.records[i].path)) +
             ", \"digest\": " + Digest(list.records[i].digest) + "}";
    return j + "], \"problems\": " + JsonStrings(list.problems) + "}";
}

std::string InstallCheckJson(const std::string& folder, const InstallCheck& check, bool ok) {
    std::string j = "{\"command\": \"check\", \"folder\": " + JsonString(folder) +
                    ", \"ok\": " + Bool(ok) + ", \"files\": [";
    for (size_t i = 0; i < check.files.size(); i++) {
        const CheckedFile& f = check.files[i];
        bool found = f.state == kCheckOk || f.state == kCheckChanged;
        j += std::string(i ? ", " : "") + "{\"path\": " + JsonString(SjisToUtf8(f.path)) +
             ", \"state\": " + JsonString(CheckStateName(f.state)) +
             ", \"expected\": " + Digest(f.expected) +
             ", \"found\": " + (found ? Digest(f.found) : "null") + "}";
    }
    return j + "], \"problems\": " + JsonStrings(check.list.problems) + "}";
}
