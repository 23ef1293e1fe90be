// The tool's inspection on any payload: a patch that verify passes must
// install with update.exe's own procedure, and extract may write only below
// its folder.
#include "fake_progress.h"
#include "fuzz_support.h"
#include "patch_extract.h"
#include "patch_inspect.h"
#include "result_codes.h"
#include "update_procedure.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    ScratchFolder root;
    std::string patch = root.Join("patch.exe");       // the updater's form
    std::string hostPatch = root.path + "/patch.exe"; // the tool's (UTF-8, '/')
    FUZZ_CHECK(WritePatchFile(patch, data, size));
    PatchReport report;
    FUZZ_CHECK(InspectPatch(hostPatch, &report));
    // Listing walks every field the report holds.
    FILE* sink = fopen("/dev/null", "w");
    PrintPatchListing(report, sink);
    bool passed = PrintVerdict(report, sink);
    fclose(sink);
    if (!passed) return 0;

    std::string install = root.Join("install");
    FUZZ_CHECK(MakeFolder(install));
    FUZZ_CHECK(WriteBytes(install + "\\KRN.hvl", VersionListBytes({})));
    FUZZ_CHECK(WriteText(install + "\\uninst.lst", "uninst.lst\n"));
    // update.exe makes no folders: the installation has those the names need.
    for (const InspectedEntry& entry : report.entries) {
        const std::string& name = entry.installName;
        for (size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 1))
            MakeFolder(install + "\\" + name.substr(0, at));
    }
    ResetFake();
    uint32_t result = InstallPackage(install.c_str(), patch.c_str());
    if (result != UPDATE_OK) fprintf(stderr, "verify passed, update.exe gave 0x%08X\n", result);
    FUZZ_CHECK(result == UPDATE_OK);

    std::string out = root.path + "/out";
    FUZZ_CHECK(MakeFolder(out));
    Snapshot before = TakeSnapshot(root.path);
    uint32_t files = 0;
    std::vector<std::string> problems;
    FUZZ_CHECK(ExtractPatch(hostPatch, out, false, &files, &problems));
    FUZZ_CHECK(files == report.entries.size());
    Snapshot after = TakeSnapshot(root.path);
    for (const auto& item : after)
        if (item.first.compare(0, 4, "out/") != 0) FUZZ_CHECK(before[item.first] == item.second);
    return 0;
}
