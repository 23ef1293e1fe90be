// krnpatch: the maintainer's tool that builds patches (update.exe with its
// payload appended), lists and verifies them, and prints version lists.
#include "digest.h"
#include "patch_build.h"
#include "patch_extract.h"
#include "patch_inspect.h"
#include "patch_platform.h"
#include "patch_text.h"
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdio.h>

const int kExitOk = 0;
const int kExitFailed = 1; // refused, unreadable, or verify found errors
const int kExitUsage = 2;

static const char kUsage[] =
    "usage: krnpatch <command> [options]\n"
    "\n"
    "commands:\n"
    "  build --stub <update.exe> (--title <text> | --title-file <file>) --from <folder>\n"
    "        --out <patch.exe> [--allow-empty]\n"
    "      Writes a patch: the stub padded to 0x70000, the title block, and an archive\n"
    "      whose first entry is the version list KRN.hvl (path and digest of every\n"
    "      file), followed by every file of the folder, sorted by path. The title is\n"
    "      UTF-8 and stored in code page 932. Nothing is written when a check fails.\n"
    "  list <patch.exe>\n"
    "      Shows the title, the format and every entry with its install path, size,\n"
    "      digest and whether its bytes match the version list.\n"
    "  verify <patch.exe>\n"
    "      Reads everything again; exits with 1 and the reasons when anything would\n"
    "      make update.exe fail or install something else than meant.\n"
    "  extract <patch.exe> <folder>\n"
    "      Writes every entry of a patch that verifies under its install path below\n"
    "      the folder, the version list as KRN.hvl.\n"
    "  show-list <KRN.hvl>\n"
    "      Prints a version list file (an installed KRN.hvl).\n"
    "  digest <file>...\n"
    "      Prints the content digest update.exe records for each file, to compare\n"
    "      installed files with a version list.\n"
    "  help [command]\n"
    "\n"
    "Exit status: 0 success, 1 refused or failed, 2 wrong usage.\n";

static int Usage(const std::string& complaint) {
    if (!complaint.empty()) fprintf(stderr, "krnpatch: %s\n\n", complaint.c_str());
    fputs(kUsage, complaint.empty() ? stdout : stderr);
    return complaint.empty() ? kExitOk : kExitUsage;
}

static bool ReadTitleFile(const std::string& path, std::string* title) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    if (!in) return false;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3); // a BOM from Notepad
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    *title = text;
    return true;
}

static int RunBuild(const std::vector<std::string>& args) {
    BuildRequest request;
    bool haveTitle = false;
    for (size_t i = 2; i < args.size(); i++) {
        const std::string& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == "--allow-empty") {
            request.allowEmpty = true;
        } else if (a == "--help" || a == "-h") {
            return Usage("");
        } else if (!hasValue) {
            return Usage("build: " + a + " needs a value or is unknown");
        } else if (a == "--stub") {
            request.stubPath = args[++i];
        } else if (a == "--title") {
            request.title = args[++i];
            haveTitle = true;
        } else if (a == "--title-file") {
            if (!ReadTitleFile(args[++i], &request.title)) {
                fprintf(stderr, "krnpatch: cannot read the title file %s\n", args[i].c_str());
                return kExitFailed;
            }
            haveTitle = true;
        } else if (a == "--from") {
            request.folder = args[++i];
        } else if (a == "--out") {
            request.outPath = args[++i];
        } else {
            return Usage("build: unknown option " + a);
        }
    }
    if (request.stubPath.empty() || !haveTitle || request.folder.empty() || request.outPath.empty())
        return Usage("build needs --stub, --title (or --title-file), --from and --out");

    auto started = std::chrono::steady_clock::now();
    BuildSummary summary;
    std::vector<std::string> problems;
    if (!BuildPatch(request, &summary, &problems)) {
        fprintf(stderr, "krnpatch: refused to build %s:\n", request.outPath.c_str());
        for (const std::string& p : problems)
            fprintf(stderr, "  %s\n", p.c_str());
        return kExitFailed;
    }
    // Read back what was written, through the updater's own readers.
    PatchReport report;
    InspectPatch(request.outPath, &report);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - started)
                  .count();
    if (!report.errors.empty()) {
        PrintVerdict(report, stderr);
        std::error_code ec;
        std::filesystem::remove(std::filesystem::u8path(request.outPath), ec);
        fprintf(stderr, "krnpatch: the written patch did not verify and was removed\n");
        return kExitFailed;
    }
    for (const std::string& w : report.warnings)
        printf("warning: %s\n", w.c_str());
    printf("wrote %s: %u files, %s bytes of files, patch %s bytes, built and verified in %lld ms\n",
           request.outPath.c_str(), summary.files, GroupDigits(summary.payloadBytes).c_str(),
           GroupDigits(summary.patchBytes).c_str(), (long long)ms);
    return kExitOk;
}

static int RunInspect(const std::vector<std::string>& args, bool listing) {
    if (args.size() == 3 && (args[2] == "--help" || args[2] == "-h")) return Usage("");
    if (args.size() != 3) return Usage(args[1] + " takes one patch file");
    PatchReport report;
    if (!InspectPatch(args[2], &report)) {
        PrintVerdict(report, stderr);
        return kExitFailed;
    }
    if (listing) {
        PrintPatchListing(report, stdout);
        if (!report.errors.empty() || !report.warnings.empty()) printf("\n");
    }
    return PrintVerdict(report, stdout) ? kExitOk : kExitFailed;
}

static int RunShowList(const std::vector<std::string>& args) {
    if (args.size() != 3) return Usage("show-list takes one version list file");
    VersionListFile list;
    bool ok = ReadVersionListFile(args[2], &list);
    if (!list.magic.empty())
        PrintVersionListFile(list, stdout);
    else
        for (const std::string& p : list.problems)
            fprintf(stderr, "krnpatch: %s\n", p.c_str());
    return ok ? kExitOk : kExitFailed;
}

static int RunExtract(const std::vector<std::string>& args) {
    if (args.size() != 4) return Usage("extract takes a patch file and a folder");
    uint32_t files = 0;
    std::vector<std::string> problems;
    if (!ExtractPatch(args[2], args[3], &files, &problems)) {
        for (const std::string& p : problems)
            fprintf(stderr, "krnpatch: %s\n", p.c_str());
        return kExitFailed;
    }
    printf("extracted %u files to %s\n", files, args[3].c_str());
    return kExitOk;
}

static int RunDigest(const std::vector<std::string>& args) {
    if (args.size() < 3) return Usage("digest takes one or more files");
    int status = kExitOk;
    for (size_t i = 2; i < args.size(); i++) {
        std::ifstream in(std::filesystem::u8path(args[i]), std::ios::binary);
        unsigned char digest[kDigestSize] = {0};
        std::vector<char> chunk(1 << 20);
        while (in) {
            in.read(chunk.data(), (std::streamsize)chunk.size());
            FeedDigest(digest, chunk.data(), (size_t)in.gcount());
        }
        if (!in.eof()) {
            fprintf(stderr, "krnpatch: cannot read %s\n", args[i].c_str());
            status = kExitFailed;
            continue;
        }
        printf("%s  %s\n", HexBytes(digest, kDigestSize).c_str(), args[i].c_str());
    }
    return status;
}

int main(int argc, char** argv) {
    std::vector<std::string> args = GetUtf8Arguments(argc, argv);
    if (args.size() < 2) return Usage("no command given");
    const std::string& command = args[1];
    if (command == "help" || command == "--help" || command == "-h") return Usage("");
    if (command == "build") return RunBuild(args);
    if (command == "list") return RunInspect(args, true);
    if (command == "verify") return RunInspect(args, false);
    if (command == "show-list") return RunShowList(args);
    if (command == "digest") return RunDigest(args);
    if (command == "extract") return RunExtract(args);
    return Usage("unknown command " + command);
}
