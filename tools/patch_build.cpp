// Builds a patch: scans the replacement folder, refuses anything that would
// make a patch update.exe cannot install soundly, then hands the files to the
// package writer and writes the result through a temporary file.
#include "patch_build.h"

#include "install_names.h"
#include "package.h"
#include "package_writer.h"
#include "patch_inspect.h"
#include "patch_platform.h"
#include "patch_text.h"
#include "strbuf.h"
#include "text.h"
#include "version_list.h"
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
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

bool ScanFolder(const std::string& folder, std::vector<PatchSource>* files,
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
    if (plan.title.size() > kMaxTitleBytes)
        problems->push_back("the title is " + std::to_string(plan.title.size()) +
                            " bytes in code page 932; at most 1023 fit the title block");
    if (plan.files.empty() && !plan.allowEmpty)
        problems->push_back("the folder holds no files; use --allow-empty to build a patch "
                            "that installs nothing");
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
        if (NamesMatch(file.entryName.c_str(), "krn.hvl")) continue; // said above
        names.push_back(file.installPath);
        labels.push_back(file.shownPath);
    }
    CheckInstallNameSet(names, labels, problems);
    uint64_t size = PlannedPatchSize(plan);
    if (size >= kMaxPatchSize)
        problems->push_back("the patch would be " + GroupDigits(size) +
                            " bytes; update.exe reads only below 2 GiB (2,147,483,648 bytes)");
}

static bool ReadWholeFile(const std::string& path, uint64_t expected,
                          std::vector<unsigned char>* bytes, std::string* error) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) {
        *error = path + ": cannot open";
        return false;
    }
    bytes->resize((size_t)expected);
    if (expected && !in.read((char*)bytes->data(), (std::streamsize)expected)) {
        *error = path + ": cannot read (did it shrink while the patch was built?)";
        return false;
    }
    if (in.peek() != std::ifstream::traits_type::eof()) {
        *error = path + ": grew while the patch was built";
        return false;
    }
    return true;
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

    ScanFolder(request.folder, &plan.files, problems);
    if (fs::is_directory(fs::u8path(request.outPath), ec))
        problems->push_back("the output " + request.outPath + " is a folder");
    else if (IsInside(request.outPath, request.folder))
        problems->push_back("the output " + request.outPath +
                            " lies inside the folder of replacement files");
    else if (IsInside(request.outPath, request.stubPath))
        problems->push_back("the output " + request.outPath + " would replace the stub");
    CheckPatchPlan(plan, problems);
    if (problems->size() != before) return false;

    try {
        std::vector<unsigned char> stub;
        std::string error;
        if (!ReadWholeFile(request.stubPath, plan.stubSize, &stub, &error)) {
            problems->push_back(error);
            return false;
        }
        // A signed stub would carry its certificate table into the middle of
        // the patch, where no signature check can succeed.
        ImageFacts facts;
        if (ReadImageFacts(stub.data(), stub.size(), &facts) && facts.certSize) {
            problems->push_back("the stub " + request.stubPath +
                                " is signed; build from the unsigned update.exe and sign the "
                                "finished patch");
            return false;
        }
        WriterOptions options;
        options.title = plan.title;
        options.listVersion = 2;
        std::vector<WriterEntry> entries(plan.files.size());
        for (size_t i = 0; i < plan.files.size(); i++) {
            entries[i].name = plan.files[i].entryName;
            entries[i].listPath = plan.files[i].installPath;
            if (!ReadWholeFile(plan.files[i].hostPath, plan.files[i].size, &entries[i].data,
                               &error)) {
                problems->push_back(error);
                return false;
            }
            summary->payloadBytes += plan.files[i].size;
        }
        std::vector<unsigned char> patch;
        if (!BuildPackage(stub, options, entries, &patch, &error)) {
            problems->push_back("the package writer refused: " + error);
            return false;
        }
        if (!SealVersionList(&patch, &error)) {
            problems->push_back(error);
            return false;
        }
        if (!ReplaceFileWith(request.outPath, patch.data(), patch.size(), &error)) {
            problems->push_back(error);
            return false;
        }
        summary->files = (uint32_t)plan.files.size();
        summary->patchBytes = patch.size();
        return true;
    } catch (const std::bad_alloc&) {
        problems->push_back("out of memory while assembling the patch");
        return false;
    }
}
