// krnpatch: the maintainer's tool that builds patches (update.exe with its
// payload appended), lists and verifies them, and prints version lists.
// Results go to stdout, complaints to stderr, each prefixed "krnpatch: ".
#include "command_line.h"
#include "digest.h"
#include "install_check.h"
#include "json_text.h"
#include "patch_build.h"
#include "patch_extract.h"
#include "patch_inspect.h"
#include "patch_platform.h"
#include "patch_text.h"
#include "report_json.h"
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdio.h>
#include <string.h>

const int kExitOk = 0;
const int kExitFailed = 1; // refused, unreadable, or verify found errors
const int kExitUsage = 2;

struct Command {
    const char* name;
    const char* synopsis;
    const char* help;
    const OptionSpec* options;
    size_t optionCount;
    int (*run)(const ParsedCommand& parsed);
    bool json; // takes --json
};

// How much a run prints, from --quiet (0), the default (1) and --verbose (2);
// set once by main before the command runs.
static int gVerbosity = 1;
// --json: results as one JSON object on stdout instead of lines; set by main.
static bool gJson = false;

static const OptionSpec kBuildOptions[] = {
    {"--stub", true, false},
    {"--title", true, false},
    {"--title-file", true, false},
    {"--from", true, false},
    {"--out", true, false},
    {"--allow-empty", false, false},
    {"--allow-test-twin", false, false},
    {"--base", true, false},
    {"--exclude", true, true},
    {"--dry-run", false, false},
};
static const OptionSpec kInspectOptions[] = {{"--allow-test-twin", false, false}};
static const OptionSpec kExtractOptions[] = {{"--allow-test-twin", false, false},
                                             {"--into-existing", false, false}};

static int Complain(const std::string& text, int status) {
    fprintf(stderr, "krnpatch: %s\n", text.c_str());
    return status;
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

// One progress line on stderr for long work: what is being done and
// the percent shown last, so the line is redrawn only when it changes.
struct ProgressLine {
    const char* doing; // "building", "verifying", "extracting", "checking"
    int shown = -1;    // -1: nothing on the line
};

static void ClearProgress(ProgressLine* line) {
    if (line->shown < 0) return;
    fprintf(stderr, "\r%60s\r", ""); // blanks: old consoles know no escapes
    fflush(stderr);
    line->shown = -1;
}

static void ShowProgress(uint64_t done, uint64_t total, void* context) {
    ProgressLine* line = (ProgressLine*)context;
    int percent = total ? (int)(done * 100 / total) : 100;
    if (percent == line->shown) return;
    line->shown = percent;
    fprintf(stderr, "\r%s: %3d%% (%s of %s MiB read)", line->doing, percent,
            GroupDigits(done >> 20).c_str(), GroupDigits(total >> 20).c_str());
    fflush(stderr);
    if (done == total) ClearProgress(line);
}

// Progress only where someone watches it: a terminal, and neither --quiet
// nor --json asked for plain output.
static bool WantProgress() {
    return gVerbosity > 0 && !gJson && IsTerminal(stderr);
}

static int RunBuild(const ParsedCommand& p) {
    BuildRequest request;
    const std::string* title = OptionValue(p, "--title");
    const std::string* titleFile = OptionValue(p, "--title-file");
    if (title && titleFile)
        return Complain("build: give --title or --title-file, not both", kExitUsage);
    if (!p.operands.empty())
        return Complain("build: unexpected argument " + p.operands[0], kExitUsage);
    for (const char* name : {"--stub", "--from", "--out"})
        if (!OptionValue(p, name))
            return Complain(std::string("build needs ") + name + "; see krnpatch help build",
                            kExitUsage);
    if (!title && !titleFile)
        return Complain("build needs --title or --title-file; see krnpatch help build", kExitUsage);
    request.stubPath = *OptionValue(p, "--stub");
    request.folder = *OptionValue(p, "--from");
    request.outPath = *OptionValue(p, "--out");
    request.allowEmpty = HasOption(p, "--allow-empty");
    request.allowTestTwin = HasOption(p, "--allow-test-twin");
    request.dryRun = HasOption(p, "--dry-run");
    request.excludes = OptionValues(p, "--exclude");
    if (const std::string* base = OptionValue(p, "--base")) request.basePath = *base;
    if (title)
        request.title = *title;
    else if (!ReadTitleFile(*titleFile, &request.title))
        return Complain("cannot read the title file " + *titleFile, kExitFailed);

    // The files are read twice: digests for the list first, then the copy.
    ProgressLine progress = {"building"};
    if (!request.dryRun && WantProgress()) {
        request.progress = ShowProgress;
        request.progressContext = &progress;
    }
    auto started = std::chrono::steady_clock::now();
    BuildSummary summary;
    std::vector<std::string> problems;
    bool built = BuildPatch(request, &summary, &problems);
    ClearProgress(&progress);
    if (gVerbosity > 0) {
        for (const std::string& e : summary.excluded)
            printf("excluded: %s\n", e.c_str());
        if (!request.basePath.empty())
            printf("unchanged since the base: %u files left out\n", summary.unchanged);
        for (const std::string& r : summary.removed)
            printf("warning: %s is in the base but not in the folder; a patch cannot delete it, "
                   "so players keep it\n",
                   r.c_str());
    }
    if (!built) {
        std::string all = "refused to build " + request.outPath + ":";
        for (const std::string& problem : problems)
            all += "\n  " + problem;
        return Complain(all, kExitFailed);
    }
    if (gVerbosity > 0 && !summary.folders.empty()) {
        printf("folders the installation must already have (update.exe creates none):");
        for (const std::string& f : summary.folders)
            printf(" %s", f.c_str());
        printf("\n");
    }
    if (request.dryRun) {
        if (gVerbosity > 0) {
            for (const PatchSource& f : summary.planned)
                printf("  %14s  %s -> %s\n", GroupDigits(f.size).c_str(), f.shownPath.c_str(),
                       SjisToUtf8(f.installPath).c_str());
            printf("dry run: would write %s: %u files, %s bytes of files, patch %s bytes\n",
                   request.outPath.c_str(), summary.files,
                   GroupDigits(summary.payloadBytes).c_str(),
                   GroupDigits(summary.patchBytes).c_str());
        }
        return kExitOk;
    }
    // Read back what was written, through the updater's own readers.
    PatchReport report;
    InspectPatch(request.outPath, &report, request.allowTestTwin);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - started)
                  .count();
    if (!report.errors.empty()) {
        PrintVerdict(report, stderr);
        std::error_code ec;
        std::filesystem::remove(std::filesystem::u8path(request.outPath), ec);
        return Complain("the written patch did not verify and was removed", kExitFailed);
    }
    if (gVerbosity == 0) return kExitOk;
    if (gVerbosity == 2) {
        PrintPatchListing(report, stdout);
        printf("\n");
    }
    for (const std::string& w : report.warnings)
        printf("warning: %s\n", w.c_str());
    printf("wrote %s: %u files, %s bytes of files, patch %s bytes, built and verified in %lld ms\n",
           request.outPath.c_str(), summary.files, GroupDigits(summary.payloadBytes).c_str(),
           GroupDigits(summary.patchBytes).c_str(), (long long)ms);
    // sha256sum's format, so the line can be published and checked as is.
    printf("%s  %s\n", summary.sha256.c_str(), request.outPath.c_str());
    return kExitOk;
}

static int RunInspect(const ParsedCommand& p, const char* command, bool listing) {
    if (p.operands.size() != 1)
        return Complain(std::string(command) + " takes one patch file", kExitUsage);
    PatchReport report;
    // The entries are read, then the whole file again when it is signed.
    ProgressLine progress = {listing ? "reading" : "verifying"};
    bool watched = WantProgress();
    bool opened = InspectPatch(p.operands[0], &report, HasOption(p, "--allow-test-twin"),
                               watched ? ShowProgress : nullptr, &progress);
    ClearProgress(&progress);
    if (gJson) {
        printf("%s\n", PatchReportJson(command, p.operands[0], report).c_str());
        return report.errors.empty() ? kExitOk : kExitFailed;
    }
    if (!opened) {
        for (const std::string& e : report.errors)
            Complain(e, kExitFailed);
        return kExitFailed;
    }
    if (gVerbosity == 0) {
        for (const std::string& e : report.errors)
            printf("error: %s\n", e.c_str());
        return report.errors.empty() ? kExitOk : kExitFailed;
    }
    if ((listing || gVerbosity == 2) && !report.notPatch) {
        PrintPatchListing(report, stdout);
        if (!report.errors.empty() || !report.warnings.empty()) printf("\n");
    }
    return PrintVerdict(report, stdout) ? kExitOk : kExitFailed;
}

static int RunList(const ParsedCommand& p) {
    return RunInspect(p, "list", true);
}

static int RunVerify(const ParsedCommand& p) {
    return RunInspect(p, "verify", false);
}

static int RunShowList(const ParsedCommand& p) {
    if (p.operands.size() != 1)
        return Complain("show-list takes one version list file", kExitUsage);
    VersionListFile list;
    bool ok = ReadVersionListFile(p.operands[0], &list);
    if (gJson)
        printf("%s\n", VersionListJson(p.operands[0], list, ok).c_str());
    else if (!list.magic.empty() && gVerbosity > 0)
        PrintVersionListFile(list, stdout);
    else
        for (const std::string& problem : list.problems)
            Complain(problem, kExitFailed);
    return ok ? kExitOk : kExitFailed;
}

static int RunExtract(const ParsedCommand& p) {
    if (p.operands.size() != 2)
        return Complain("extract takes a patch file and a folder", kExitUsage);
    uint32_t files = 0;
    std::vector<std::string> problems;
    ProgressLine progress = {"extracting"};
    bool ok = ExtractPatch(p.operands[0], p.operands[1], HasOption(p, "--into-existing"), &files,
                           &problems, HasOption(p, "--allow-test-twin"),
                           WantProgress() ? ShowProgress : nullptr, &progress);
    ClearProgress(&progress);
    if (!ok) {
        for (const std::string& problem : problems)
            Complain(problem, kExitFailed);
        return kExitFailed;
    }
    if (gVerbosity > 0) printf("extracted %u files to %s\n", files, p.operands[1].c_str());
    return kExitOk;
}

static int RunDigest(const ParsedCommand& p) {
    if (p.operands.empty()) return Complain("digest takes one or more files", kExitUsage);
    int status = kExitOk;
    std::string json;
    std::vector<std::string> errors;
    for (const std::string& path : p.operands) {
        unsigned char digest[kDigestSize];
        bool missing = false;
        if (!DigestFile(path, digest, &missing)) {
            std::string why = (missing ? "no such file " : "cannot read ") + path;
            errors.push_back(why);
            status = gJson ? kExitFailed : Complain(why, kExitFailed);
            continue;
        }
        std::string hex = HexBytes(digest, kDigestSize);
        if (gJson)
            json += std::string(json.empty() ? "" : ", ") + "{\"path\": " + JsonString(path) +
                    ", \"digest\": " + JsonString(hex) + "}";
        else
            printf("%s  %s\n", hex.c_str(), path.c_str());
    }
    if (gJson)
        printf("{\"command\": \"digest\", \"ok\": %s, \"files\": [%s], \"errors\": %s}\n",
               status == kExitOk ? "true" : "false", json.c_str(), JsonStrings(errors).c_str());
    return status;
}

static int RunCheck(const ParsedCommand& p) {
    if (p.operands.size() != 1) return Complain("check takes one install folder", kExitUsage);
    InstallCheck check;
    ProgressLine progress = {"checking"};
    bool allOk = CheckInstallation(p.operands[0], &check, WantProgress() ? ShowProgress : nullptr,
                                   &progress);
    ClearProgress(&progress);
    if (gJson) {
        printf("%s\n", InstallCheckJson(p.operands[0], check, allOk).c_str());
        return allOk ? kExitOk : kExitFailed;
    }
    for (const std::string& problem : check.list.problems)
        Complain(problem, kExitFailed);
    if (check.list.magic.empty()) return kExitFailed;
    unsigned counts[kCheckUnsafe + 1] = {0};
    for (const CheckedFile& f : check.files) {
        counts[f.state]++;
        if (gVerbosity == 0 && f.state == kCheckOk) continue;
        bool found = f.state == kCheckOk || f.state == kCheckChanged;
        printf("%-10s %s  %-16s  %s\n", CheckStateName(f.state),
               HexBytes(f.expected, kDigestSize).c_str(),
               found ? HexBytes(f.found, kDigestSize).c_str() : "-", SjisToUtf8(f.path).c_str());
    }
    if (gVerbosity == 0) return allOk ? kExitOk : kExitFailed;
    printf("%u files: %u ok, %u changed, %u missing", (unsigned)check.files.size(),
           counts[kCheckOk], counts[kCheckChanged], counts[kCheckMissing]);
    if (counts[kCheckUnreadable]) printf(", %u unreadable", counts[kCheckUnreadable]);
    if (counts[kCheckUnsafe]) printf(", %u with an unsafe path (not read)", counts[kCheckUnsafe]);
    printf("\n");
    return allOk ? kExitOk : kExitFailed;
}

static const Command kCommands[] = {
    {"build",
     "build --stub <update.exe> (--title <text> | --title-file <file>) --from <folder>\n"
     "        --out <patch.exe> [--base <folder>] [--exclude <pattern>]... [--dry-run]\n"
     "        [--allow-empty] [--allow-test-twin]",
     "Writes a patch: the stub padded to 0x70000, the title block, and an archive\n"
     "whose first entry is the version list KRN.hvl (path and digest of every\n"
     "file), followed by every file of the folder, sorted by path. The title is\n"
     "UTF-8 and stored in code page 932. Nothing is written when a check fails.\n"
     "The stub must be the 32-bit update.exe; --allow-test-twin accepts its\n"
     "64-bit test twin, for tests only.\n"
     "--base <folder>: the previous release; only files whose bytes differ, or\n"
     "that are new, go in; files gone since are listed (a patch cannot delete).\n"
     "--exclude <pattern>: leave out matching files or folders ('*' and '?'; a\n"
     "pattern without '/' matches any component). Always left out: Thumbs.db,\n"
     "desktop.ini, .DS_Store, ._*, .git, .svn, .hg, *~, *.swp. Each exclusion is\n"
     "printed.\n"
     "--dry-run: the whole plan (files, install paths, sizes, refusals), nothing\n"
     "written.\n",
     kBuildOptions, sizeof(kBuildOptions) / sizeof(kBuildOptions[0]), RunBuild, false},
    {"list", "list <patch.exe> [--allow-test-twin]",
     "Shows the title, the format and every entry with its install path, size,\n"
     "digest and whether its bytes match the version list.\n",
     kInspectOptions, 1, RunList, true},
    {"verify", "verify <patch.exe> [--allow-test-twin]",
     "Reads everything again; exits with 1 and the reasons when anything would\n"
     "make update.exe fail or install something else than meant. A signed patch\n"
     "is read once more: the image digest its Authenticode signature carries must\n"
     "be the file's, and the OK line says what that covers: the Linux tool does\n"
     "not judge the signer's certificate chain, the Windows tool asks the system.\n",
     kInspectOptions, 1, RunVerify, true},
    {"extract", "extract <patch.exe> <folder> [--into-existing]",
     "Writes every entry of a patch that verifies under its install path below\n"
     "the folder, the version list as KRN.hvl. The folder must be new or empty\n"
     "(--into-existing writes into one that is not) and never one holding KRN.hvl.\n",
     kExtractOptions, 2, RunExtract, false},
    {"show-list", "show-list <KRN.hvl>", "Prints a version list file (an installed KRN.hvl).\n",
     nullptr, 0, RunShowList, true},
    {"check", "check <install folder>",
     "Digests every file the installation's KRN.hvl records and compares it with\n"
     "the recorded digest: ok, changed or missing, one line each (expected digest,\n"
     "found digest, path). Exits with 0 only when every file matches.\n",
     nullptr, 0, RunCheck, true},
    {"digest", "digest <file>...",
     "Prints the content digest update.exe records for each file, to compare\n"
     "installed files with a version list.\n",
     nullptr, 0, RunDigest, true},
};

static const char kCommonOptions[] =
    "Every command takes --quiet (only failures) or --verbose (more detail);\n"
    "list, verify, check, show-list and digest take --json (one JSON object on\n"
    "stdout, schema in docs/patch-format.md). Options also take --name=value.\n";
static const char kExitStatuses[] = "Exit status: 0 success, 1 refused or failed, 2 wrong usage.\n";

static void PrintUsage(FILE* out) {
    fputs("usage: krnpatch <command> [options]\n\ncommands:\n", out);
    for (const Command& c : kCommands)
        fprintf(out, "  %s\n", c.synopsis);
    fputs("  help [command]\n  --version\n\nkrnpatch help <command> describes one command.\n", out);
    fputs(kCommonOptions, out);
    fputs(kExitStatuses, out);
}

static const Command* FindCommand(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

static int PrintCommandHelp(const Command& c) {
    printf("usage: krnpatch %s\n\n%s\n%s%s", c.synopsis, c.help, kCommonOptions, kExitStatuses);
    return kExitOk;
}

int main(int argc, char** argv) {
    InstallExitCleanup();
    std::vector<std::string> args = GetUtf8Arguments(argc, argv);
    if (args.size() < 2) {
        Complain("no command given", kExitUsage);
        PrintUsage(stderr);
        return kExitUsage;
    }
    const std::string& name = args[1];
    if (name == "--version" || name == "version") {
        printf("krnpatch %s (commit %s)\n", KRN_TOOL_VERSION, KRN_TOOL_COMMIT);
        return kExitOk;
    }
    if (name == "help" || name == "--help" || name == "-h") {
        if (args.size() == 2) {
            PrintUsage(stdout);
            return kExitOk;
        }
        const Command* c = FindCommand(args[2]);
        if (!c || args.size() > 3)
            return Complain("help: no command " + args[2] + "; krnpatch help lists them",
                            kExitUsage);
        return PrintCommandHelp(*c);
    }
    const Command* c = FindCommand(name);
    if (!c) return Complain("unknown command " + name + "; krnpatch help lists them", kExitUsage);
    std::vector<OptionSpec> specs(c->options, c->options + c->optionCount);
    specs.push_back({"--quiet", false, false});
    specs.push_back({"--verbose", false, false});
    if (c->json) specs.push_back({"--json", false, false});
    ParsedCommand parsed;
    std::string error;
    if (!ParseCommand(args, 2, specs.data(), specs.size(), &parsed, &error))
        return Complain(std::string(c->name) + ": " + error, kExitUsage);
    if (parsed.help) return PrintCommandHelp(*c);
    if (HasOption(parsed, "--quiet") && HasOption(parsed, "--verbose"))
        return Complain(std::string(c->name) + ": give --quiet or --verbose, not both", kExitUsage);
    gVerbosity = HasOption(parsed, "--quiet") ? 0 : HasOption(parsed, "--verbose") ? 2 : 1;
    gJson = HasOption(parsed, "--json");
    return c->run(parsed);
}
