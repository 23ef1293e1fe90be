// Extraction: the inverse of build, for checking what a patch carries.
#include "patch_extract.h"

#include "package.h"
#include "patch_inspect.h"
#include "patch_platform.h"
#include "patch_text.h"
#include "version_list.h"
#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

// Why files must not be written into folder, or empty.
static std::string FolderProblem(const std::string& folder, bool intoNonEmpty) {
    if (folder.empty()) return "the destination folder is empty text; name a folder";
    std::error_code ec;
    fs::path root = fs::u8path(folder);
    if (!fs::exists(root, ec)) return std::string();
    if (!fs::is_directory(root, ec)) return "the destination " + folder + " is not a folder";
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        if (NamesMatch(it->path().filename().u8string().c_str(), "krn.hvl"))
            return "the destination " + folder +
                   " holds KRN.hvl: it looks like an installation, whose version list "
                   "extracting would replace; extract into a fresh folder";
    if (!intoNonEmpty && !fs::is_empty(root, ec))
        return "the destination " + folder +
               " is not empty; name a fresh folder, or give --into-existing to write into it";
    return std::string();
}

// The verifying read reports its own total; shown as the first half of the
// work, the copy of about as many bytes being the second.
struct ExtractProgress {
    ProgressFn report;
    void* context;
    uint64_t verifyTotal;
};

static void ReportVerifyHalf(uint64_t done, uint64_t total, void* context) {
    ExtractProgress* p = (ExtractProgress*)context;
    p->verifyTotal = total;
    p->report(done, 2 * total, p->context);
}

static void ReportCopyHalf(uint64_t done, uint64_t total, void* context) {
    ExtractProgress* p = (ExtractProgress*)context;
    p->report(p->verifyTotal + done, p->verifyTotal + total, p->context);
}

bool ExtractPatch(const std::string& patch, const std::string& folder, bool intoNonEmpty,
                  uint32_t* files, std::vector<std::string>* problems, bool allowTestTwin,
                  ProgressFn progress, void* context) {
    *files = 0;
    std::string refusal = FolderProblem(folder, intoNonEmpty);
    if (!refusal.empty()) {
        problems->push_back(refusal);
        return false;
    }
    PatchReport report;
    ExtractProgress halves = {progress, context, 0};
    InspectPatch(patch, &report, allowTestTwin, progress ? ReportVerifyHalf : nullptr, &halves);
    if (!report.errors.empty()) {
        problems->push_back(patch + " does not verify; run krnpatch verify for the reasons");
        return false;
    }
    std::ifstream in(fs::u8path(patch), std::ios::binary);
    std::vector<char> chunk(kChunkSize);
    ProgressTally tally;
    tally.report = progress ? ReportCopyHalf : nullptr;
    tally.context = &halves;
    for (const InspectedEntry& entry : report.entries)
        tally.total += entry.size;
    for (const InspectedEntry& entry : report.entries) {
        // Install paths passed the safety checks above: relative, no "..".
        // The list goes out as KRN.hvl whatever its entry is called.
        std::string relative = entry.isList ? "KRN.hvl" : SjisToUtf8(entry.installName);
        std::replace(relative.begin(), relative.end(), '\\', '/');
        fs::path target = fs::u8path(folder) / fs::u8path(relative);
        std::error_code ec;
        fs::create_directories(target.parent_path(), ec);
        in.seekg((std::streamoff)report.dataStart + entry.offset);
        OutputFile out;
        std::string error;
        if (!CreateOutput(target.u8string(), &out, &error)) {
            problems->push_back(error);
            return false;
        }
        for (uint32_t done = 0; done < entry.size;) {
            uint32_t n = std::min<uint32_t>(entry.size - done, (uint32_t)chunk.size());
            if (!in.read(chunk.data(), n)) {
                problems->push_back(patch + ": cannot read " + SjisToUtf8(entry.name));
                return false;
            }
            if (!WriteOutput(&out, chunk.data(), n, &error)) {
                problems->push_back(error);
                return false;
            }
            done += n;
            AdvanceProgress(&tally, n);
        }
        if (!CommitOutput(&out, &error)) {
            problems->push_back(error);
            return false;
        }
        ++*files;
    }
    return true;
}
