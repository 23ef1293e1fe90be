// Builds a patch: scans the replacement folder, refuses anything that would
// make a patch update.exe cannot install soundly, then hands the files to the
// package writer and writes the result through a temporary file.
#include "patch_build.h"

#include "install_names.h"
#include "package.h"
#include "digest.h"
#include "file_selection.h"
#include "patch_inspect.h"
#include "patch_platform.h"
#include "patch_text.h"
#include "secure_hash.h"
#include "strbuf.h"
#include "text.h"
#include "stub_image.h"
#include "version_list.h"
#include <functional>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <new>
#include <string.h>

namespace fs = std::filesystem;

static std::string Shown(const fs::path& p) {
    return p.u8string();
}

// Each component is converted on its own, so a backslash that a Linux file
// name may hold is caught before it could pass for a separator.
static bool ToInstallPath(const fs::path& relative, PatchSource* source, std::string* reason) {
    std::string path;
    for (const fs::path& part : relative) {
        std::string utf8 = part.u8string(), sjis;
        if (utf8.find('\\') != std::string::npos) {
            *reason = "name holds a backslash";
            return false;
        }
        if (!Utf8ToSjis(utf8, &sjis, reason)) {
            *reason = "name " + *reason;
            return false;
        }
        if (!path.empty()) path += '\\';
        path += sjis;
    }
    source->installPath = path;
    char part[kMaxPath];
    GetFileNamePart(path.c_str(), part);
    source->entryName = part;
    return true;
}

bool ScanFolder(const std::string& folder, const std::vector<std::string>& excludes,
                std::vector<PatchSource>* files, std::vector<std::string>* excluded,
                std::vector<std::string>* problems) {
    files->clear();
    fs::path root = fs::u8path(folder);
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        problems->push_back("folder " + folder + " does not exist or is not a folder");
        return false;
    }
    size_t before = problems->size();
    fs::recursive_directory_iterator it(root, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::directory_entry& item = *it;
        fs::path relative = item.path().lexically_relative(root);
        const std::string* pattern = FindExclude(excludes, relative.generic_u8string());
        if (pattern) {
            excluded->push_back(relative.generic_u8string() + " (" + *pattern + ")");
            if (item.is_directory(ec)) it.disable_recursion_pending();
            continue;
        }
        std::error_code statusError;
        fs::file_status status = item.status(statusError);
        bool link = item.is_symlink(statusError);
        if (fs::is_directory(status)) {
            if (link)
                problems->push_back(Shown(relative) + ": a link to a folder is not followed; "
                                                      "copy the folder in instead");
            continue;
        }
        if (!fs::is_regular_file(status)) {
            problems->push_back(Shown(relative) + ": neither a file nor a folder");
            continue;
        }
        PatchSource source;
        source.hostPath = Shown(item.path());
        source.shownPath = relative.generic_u8string();
        source.size = (uint64_t)fs::file_size(item.path(), statusError);
        std::string reason;
        if (statusError) {
            problems->push_back(source.shownPath + ": " + statusError.message());
        } else if (!ToInstallPath(relative, &source, &reason)) {
            problems->push_back(source.shownPath + ": " + reason);
        } else {
            files->push_back(source);
        }
    }
    if (ec) problems->push_back("cannot list folder " + folder + ": " + ec.message());
    std::sort(files->begin(), files->end(), [](const PatchSource& a, const PatchSource& b) {
        return a.installPath < b.installPath;
    });
    return problems->size() == before;
}

std::string InstallPathProblem(const std::string& path) {
    if (IsSafeInstallName(path.c_str())) return std::string();
    return "the install path " + SjisToUtf8(path) +
           " is unsafe (absolute, a colon, an empty, '.' or '..' component, a device name "
           "such as CON or COM1, a component ending in a dot or a blank, a leading blank, "
           "a character Windows refuses in names or one code page 932 does not define)";
}

typedef std::basic_string<WideChar> NameKey;

// The name as update.exe compares it; empty for a name it refuses outright.
static NameKey KeyOf(const std::string& name) {
    WideChar key[kMaxPath];
    InstallNameKey(name.c_str(), key);
    return key;
}

void CheckInstallNameSet(const std::vector<std::string>& names,
                         const std::vector<std::string>& labels,
                         std::vector<std::string>* problems) {
    size_t before = problems->size();
    std::map<NameKey, size_t> seen; // key -> first index
    for (size_t i = 0; i < names.size(); i++) {
        std::string unsafe = InstallPathProblem(names[i]);
        if (!unsafe.empty()) problems->push_back(labels[i] + ": " + unsafe);
        NameKey key = KeyOf(names[i]);
        if (key.empty()) continue; // refused above
        auto first = seen.emplace(key, i);
        if (!first.second)
            problems->push_back(labels[first.first->second] + " and " + labels[i] +
                                " would both be installed as " + SjisToUtf8(names[i]));
    }
    static const WideChar kTmp[] = {'.', 't', 'm', 'p', 0};
    for (size_t i = 0; i < names.size(); i++) {
        NameKey key = KeyOf(names[i]);
        if (key.empty()) continue;
        auto other = seen.find(key + kTmp);
        if (other != seen.end())
            problems->push_back(labels[other->second] + " would be installed where " + labels[i] +
                                " is extracted to first (" + SjisToUtf8(names[i]) + ".tmp)");
        for (size_t at = key.find('\\'); at != NameKey::npos; at = key.find('\\', at + 1)) {
            auto file = seen.find(key.substr(0, at));
            if (file != seen.end())
                problems->push_back(labels[file->second] + " would be a file where " + labels[i] +
                                    " needs a folder");
        }
    }
    // The updater's own verdict is the last word; say something if it
    // refuses for a reason the checks above did not name.
    std::vector<const char*> table;
    for (const std::string& name : names)
        table.push_back(name.c_str());
    if (problems->size() == before &&
        CheckInstallNames(table.data(), (uint32_t)table.size()) != UPDATE_OK)
        problems->push_back("update.exe refuses this set of install names");
}

uint64_t PlannedPatchSize(const PatchPlan& plan) {
    uint64_t n = plan.files.size();
    uint64_t size = kArchiveOffset + kArchiveHeaderSize + (n + 1) * kLongEntrySize +
                    kListHeaderSize + n * kRecordSize;
    for (const PatchSource& file : plan.files)
        size += file.size;
    return size;
}

void CheckPatchPlan(const PatchPlan& plan, std::vector<std::string>* problems) {
    if (plan.stubSize >= kPayloadOffset)
        problems->push_back("the stub is " + GroupDigits(plan.stubSize) +
                            " bytes; it must end before 0x70000 (458,752), where the title "
                            "block begins");
    if (plan.title.empty()) problems->push_back("the title is empty");
    // No trail byte of code page 932 lies below 0x40, so these are control
    // characters wherever they stand; a window caption shows them as boxes.
    for (unsigned char c : plan.title)
        if (c < 0x20 || c == 0x7F) {
            problems->push_back("the title holds a control character (a line end or a tab); "
                                "a window title is one line");
            break;
        }
    if (plan.title.size() > kMaxTitleBytes)
        problems->push_back("the title is " + std::to_string(plan.title.size()) +
                            " bytes in code page 932; at most 1023 fit the title block");
    if (plan.files.empty() && !plan.allowEmpty && !plan.folderProblems)
        problems->push_back(plan.unchangedFromBase
                                ? "no file differs from the base; use --allow-empty to build a "
                                  "patch that installs nothing"
                                : "the folder holds no files; use --allow-empty to build a "
                                  "patch that installs nothing");
    if (plan.files.size() > kMaxPatchFiles)
        problems->push_back("the folder holds " + std::to_string(plan.files.size()) +
                            " files; at most 255 fit (the version list is the 256th entry)");

    std::map<std::string, const PatchSource*> byName; // lowered entry name -> first file
    for (const PatchSource& file : plan.files) {
        if (file.entryName.size() > kMaxEntryNameBytes)
            problems->push_back(file.shownPath + ": the file name is " +
                                std::to_string(file.entryName.size()) +
                                " bytes in code page 932; at most 95 fit an entry name");
        if (file.installPath.size() > kMaxInstallPathBytes)
            problems->push_back(file.shownPath + ": the path is " +
                                std::to_string(file.installPath.size()) +
                                " bytes in code page 932; at most 247 fit a version record");
        if (NamesMatch(file.entryName.c_str(), "krn.hvl")) {
            problems->push_back(file.shownPath +
                                ": a file named KRN.hvl would be taken for the package's "
                                "version list; the installed list is rewritten by update.exe");
            continue;
        }
        if (NamesMatch(file.entryName.c_str(), "uninst.lst")) {
            problems->push_back(file.shownPath +
                                ": a file named uninst.lst would replace the player's uninstall "
                                "list, which update.exe extends with the installed names");
            continue;
        }
        // The same lowering as the matching rule: only the first of two such
        // files could ever be matched to its record.
        char lowered[kMaxPath];
        CopyText(lowered, file.entryName.c_str());
        LowerName(lowered);
        auto inserted = byName.emplace(lowered, &file);
        if (!inserted.second)
            problems->push_back(file.shownPath + " and " + inserted.first->second->shownPath +
                                " have the same file name under update.exe's matching rule; "
                                "only the first could ever be installed");
    }
    // The names as update.exe will see them, its version list among them.
    std::vector<std::string> names(1, "KRN.hvl"), labels(1, "the version list");
    for (const PatchSource& file : plan.files) {
        if (NamesMatch(file.entryName.c_str(), "krn.hvl") ||
            NamesMatch(file.entryName.c_str(), "uninst.lst"))
            continue; // said above
        names.push_back(file.installPath);
        labels.push_back(file.shownPath);
    }
    CheckInstallNameSet(names, labels, problems);
    uint64_t size = PlannedPatchSize(plan);
    if (size >= kMaxPatchSize)
        problems->push_back("the patch would be " + GroupDigits(size) +
                            " bytes; update.exe reads only below 2 GiB (2,147,483,648 bytes)");
}

// True when path lies inside folder (or is it).
static bool IsInside(const std::string& path, const std::string& folder) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(fs::u8path(path), ec), ec);
    fs::path f = fs::weakly_canonical(fs::absolute(fs::u8path(folder), ec), ec);
    if (ec) return false;
    auto mismatch = std::mismatch(f.begin(), f.end(), p.begin(), p.end());
    return mismatch.first == f.end();
}

static std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c + 32);
    return s;
}

// Leaves in the plan only the files whose bytes differ from the base's (or
// that the base lacks), and names the base's files the folder no longer has.
static void CompareWithBase(const std::string& base, const std::vector<std::string>& excludes,
                            PatchPlan* plan, BuildSummary* summary,
                            std::vector<std::string>* problems) {
    std::vector<PatchSource> baseFiles;
    std::vector<std::string> ignored, baseProblems;
    if (!fs::is_directory(fs::u8path(base))) {
        problems->push_back("the base " + base + " does not exist or is not a folder");
        return;
    }
    ScanFolder(base, excludes, &baseFiles, &ignored, &baseProblems);
    std::set<std::string> current; // Windows names: letter case aside
    std::vector<PatchSource> changed;
    for (const PatchSource& file : plan->files) {
        current.insert(LowerAscii(file.shownPath));
        std::string old = (fs::u8path(base) / fs::u8path(file.shownPath)).u8string();
        if (SameFileBytes(file.hostPath, old))
            summary->unchanged++;
        else
            changed.push_back(file);
    }
    for (const PatchSource& old : baseFiles)
        if (!current.count(LowerAscii(old.shownPath))) summary->removed.push_back(old.shownPath);
    plan->files = changed;
    plan->unchangedFromBase = summary->unchanged;
}

struct FileDigest {
    unsigned char bytes[kDigestSize] = {0};
};

static void PutLe32(unsigned char* p, uint32_t v) {
    for (int b = 0; b < 4; b++)
        p[b] = (unsigned char)(v >> (8 * b));
}

std::string StubProblem(const unsigned char* stub, size_t size, bool allowTestTwin) {
    ImageFacts facts;
    if (!ReadImageFacts(stub, size, &facts))
        return "is not a Windows program; give the 32-bit build/win32/update/update.exe";
    if (!HasUpdateIdentity(stub, size))
        return "is a Windows program but not update.exe (its version resource does not name "
               "update.exe); give build/win32/update/update.exe";
    if (facts.machine == kMachineAmd64 && !allowTestTwin)
        return "is the 64-bit test twin of update.exe, which players cannot run; give "
               "build/win32/update/update.exe (--allow-test-twin is for tests)";
    if (facts.machine != kMachineI386 && facts.machine != kMachineAmd64)
        return "is update.exe for another machine; give build/win32/update/update.exe";
    // A signed stub would carry its certificate table into the middle of the
    // patch, where no signature check can succeed.
    if (facts.certSize)
        return "is signed; build from the unsigned update.exe and sign the finished patch";
    return std::string();
}

// Reads a whole file of the expected size, in chunks, handing each to use;
// false with a reason when it cannot be read or its size changed.
static bool StreamFile(const std::string& path, uint64_t expected, std::vector<char>* chunk,
                       const std::function<bool(const char*, size_t)>& use, std::string* error) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) {
        *error = path + ": cannot open";
        return false;
    }
    for (uint64_t done = 0; done < expected;) {
        size_t n = (size_t)std::min<uint64_t>(expected - done, chunk->size());
        if (!in.read(chunk->data(), (std::streamsize)n)) {
            *error = path + ": cannot read (did it shrink while the patch was built?)";
            return false;
        }
        if (!use(chunk->data(), n)) return false;
        done += n;
    }
    if (in.peek() != std::ifstream::traits_type::eof()) {
        *error = path + ": grew while the patch was built";
        return false;
    }
    return true;
}

// Everything in front of the files' bytes: stub, padding, title block,
// archive header, entry table and the sealed version list. The list is the
// first entry; the files follow in plan order.
static void LayOutHead(const std::vector<unsigned char>& stub, const PatchPlan& plan,
                       const std::vector<FileDigest>& digests, std::vector<unsigned char>* head) {
    uint32_t count = (uint32_t)plan.files.size() + 1;
    uint32_t listSize = kListHeaderSize + (uint32_t)plan.files.size() * kRecordSize;
    size_t tableAt = kArchiveOffset + kArchiveHeaderSize;
    size_t listAt = tableAt + (size_t)count * kLongEntrySize;
    head->assign(listAt + listSize, 0);
    unsigned char* p = head->data();
    memcpy(p, stub.data(), stub.size());
    memcpy(p + kPayloadOffset, plan.title.data(), plan.title.size());
    memcpy(p + kArchiveOffset, kArchiveMagic, sizeof(kArchiveMagic));
    PutLe32(p + kArchiveOffset + 12, count);
    uint32_t offset = 0;
    for (uint32_t i = 0; i < count; i++) {
        unsigned char* entry = p + tableAt + (size_t)i * kLongEntrySize;
        const std::string& name = i ? plan.files[i - 1].entryName : std::string("KRN.hvl");
        uint32_t size = i ? (uint32_t)plan.files[i - 1].size : listSize;
        memcpy(entry, name.data(), name.size());
        PutLe32(entry + kLongNameSize, offset);
        PutLe32(entry + kLongNameSize + 4, size);
        offset += size;
    }
    unsigned char* list = p + listAt;
    memcpy(list, kListMagicV2, 8);
    PutLe32(list + 12, (uint32_t)plan.files.size());
    for (size_t i = 0; i < plan.files.size(); i++) {
        unsigned char* record = list + kListHeaderSize + i * kRecordSize;
        memcpy(record, plan.files[i].installPath.data(), plan.files[i].installPath.size());
        memcpy(record + kRecordPathSize, digests[i].bytes, kDigestSize);
    }
    PutLe32(list + 8, ComputeListSeal(list, listSize));
}

bool BuildPatch(const BuildRequest& request, BuildSummary* summary,
                std::vector<std::string>* problems) {
    size_t before = problems->size();
    PatchPlan plan;
    plan.allowEmpty = request.allowEmpty;

    std::error_code ec;
    fs::path stubPath = fs::u8path(request.stubPath);
    if (!fs::is_regular_file(stubPath, ec))
        problems->push_back("the stub " + request.stubPath + " does not exist or is not a file");
    else
        plan.stubSize = (uint64_t)fs::file_size(stubPath, ec);

    std::string reason;
    if (!Utf8ToSjis(request.title, &plan.title, &reason)) {
        problems->push_back("the title " + reason);
        plan.title = "?"; // said once already; not "empty" as well
    }

    std::vector<std::string> excludes(kDefaultExcludes, kDefaultExcludes + kDefaultExcludeCount);
    excludes.insert(excludes.end(), request.excludes.begin(), request.excludes.end());
    plan.folderProblems =
        !ScanFolder(request.folder, excludes, &plan.files, &summary->excluded, problems);
    if (!request.basePath.empty())
        CompareWithBase(request.basePath, excludes, &plan, summary, problems);
    if (fs::is_directory(fs::u8path(request.outPath), ec))
        problems->push_back("the output " + request.outPath + " is a folder");
    else if (IsInside(request.outPath, request.folder))
        problems->push_back("the output " + request.outPath +
                            " lies inside the folder of replacement files");
    else if (IsInside(request.outPath, request.stubPath))
        problems->push_back("the output " + request.outPath + " would replace the stub");
    CheckPatchPlan(plan, problems);
    if (problems->size() != before) return false;
    summary->planned = plan.files;
    std::set<std::string> folders;
    for (const PatchSource& file : plan.files) {
        size_t slash = file.shownPath.rfind('/');
        if (slash != std::string::npos) folders.insert(file.shownPath.substr(0, slash));
    }
    summary->folders.assign(folders.begin(), folders.end());
    if (request.dryRun) {
        summary->files = (uint32_t)plan.files.size();
        for (const PatchSource& file : plan.files)
            summary->payloadBytes += file.size;
        summary->patchBytes = PlannedPatchSize(plan);
        return true;
    }

    try {
        std::vector<unsigned char> stub((size_t)plan.stubSize);
        std::ifstream in(stubPath, std::ios::binary);
        if (!in || (!stub.empty() && !in.read((char*)stub.data(), (std::streamsize)stub.size()))) {
            problems->push_back("the stub " + request.stubPath + " cannot be read");
            return false;
        }
        std::string stubProblem = StubProblem(stub.data(), stub.size(), request.allowTestTwin);
        if (!stubProblem.empty()) {
            problems->push_back("the stub " + request.stubPath + " " + stubProblem);
            return false;
        }
        // Two passes over the files: their digests go into the version list
        // in front of them, then their bytes, digested again to notice a file
        // changed in between.
        std::vector<char> chunk(kChunkSize);
        std::vector<FileDigest> digests(plan.files.size());
        uint64_t payload = 0, done = 0;
        for (const PatchSource& file : plan.files)
            payload += file.size;
        auto report = [&](size_t n) {
            done += n;
            if (request.progress) request.progress(done, 2 * payload, request.progressContext);
        };
        std::string error;
        for (size_t i = 0; i < plan.files.size(); i++) {
            auto feed = [&](const char* bytes, size_t n) {
                FeedDigest(digests[i].bytes, bytes, n);
                report(n);
                return true;
            };
            if (!StreamFile(plan.files[i].hostPath, plan.files[i].size, &chunk, feed, &error)) {
                problems->push_back(error);
                return false;
            }
        }
        std::vector<unsigned char> head;
        LayOutHead(stub, plan, digests, &head);
        // The published SHA-256 is taken from the bytes as they are written,
        // so it costs no second read of a patch of up to 2 GiB.
        SecureHash sha;
        if (!HashBegin(&sha, kHashSha256)) {
            problems->push_back("the SHA-256 service is not available");
            return false;
        }
        HashFeed(&sha, head.data(), head.size());
        OutputFile out;
        if (!CreateOutput(request.outPath, &out, &error) ||
            !WriteOutput(&out, head.data(), head.size(), &error)) {
            unsigned char unused[kMaxHashSize];
            HashEnd(&sha, unused);
            problems->push_back(error);
            return false;
        }
        for (size_t i = 0; i < plan.files.size(); i++) {
            unsigned char again[kDigestSize] = {0};
            auto copy = [&](const char* bytes, size_t n) {
                FeedDigest(again, bytes, n);
                HashFeed(&sha, bytes, n);
                report(n);
                return WriteOutput(&out, bytes, n, &error);
            };
            if (!StreamFile(plan.files[i].hostPath, plan.files[i].size, &chunk, copy, &error))
                problems->push_back(error);
            else if (memcmp(again, digests[i].bytes, kDigestSize) != 0)
                problems->push_back(plan.files[i].hostPath + ": changed while the patch was built");
            if (problems->size() != before) break;
        }
        unsigned char sha256[kMaxHashSize];
        bool hashed = HashEnd(&sha, sha256);
        if (problems->size() != before) return false; // out abandons the temporary
        if (!hashed) {
            problems->push_back("the SHA-256 of the patch could not be computed");
            return false;
        }
        summary->sha256 = HexBytes(sha256, kSha256Size);
        if (!CommitOutput(&out, &error)) {
            problems->push_back(error);
            return false;
        }
        summary->files = (uint32_t)plan.files.size();
        summary->payloadBytes = payload;
        summary->patchBytes = head.size() + payload;
        return true;
    } catch (const std::bad_alloc&) {
        problems->push_back("out of memory while assembling the patch");
        return false;
    }
}
