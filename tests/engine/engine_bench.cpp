// Throughput of the update procedure against a plain `cp` of the same bytes,
// and the time to merge names into a long uninstall list. Prints figures;
// judges nothing. Run through scripts/bench.sh.
#include "digest.h"
#include "fake_progress.h"
#include "package_writer.h"
#include "result_codes.h"
#include "test_support.h"
#include "uninstall_list.h"
#include "update_procedure.h"
#include <chrono>
#include <stdio.h>
#include <stdlib.h>
#include <string>

static double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

static double MiB(size_t bytes) {
    return bytes / 1048576.0;
}

static int Fail(const char* what) {
    fprintf(stderr, "engine_bench: %s\n", what);
    return 1;
}

int main() {
    const size_t kEntries = 4;
    const size_t kEntrySize = 64u << 20; // four entries: 256 MiB in all
    ScratchFolder work;
    ScratchFolder installFolder;

    Bytes emptyList = ToBytes(std::string("BHV_V2__") + std::string(8, '\0'));
    if (!WriteBytes(installFolder.Join("KRN.hvl"), emptyList) ||
        !WriteText(installFolder.Join("uninst.lst"), "x\n"))
        return Fail("cannot set up the installation");

    std::vector<WriterEntry> entries;
    for (size_t i = 0; i < kEntries; i++) {
        std::string name = "data" + std::to_string(i) + ".arc";
        entries.push_back({name, name, PatternBytes(kEntrySize, (unsigned)i + 1), false});
    }
    WriterOptions options;
    options.title = "bench";
    std::string error;
    if (!WritePackageFile(work.Join("patch.exe"), ToBytes("MZ"), options, entries, &error))
        return Fail(error.c_str());
    // The same bytes as plain files for cp, written now so both read from the page cache.
    for (size_t i = 0; i < kEntries; i++)
        if (!WriteBytes(work.Join("src" + std::to_string(i)), entries[i].data))
            return Fail("source");
    // The digest alone over the same bytes: its one serial multiply per byte
    // is the floor under the install time.
    unsigned char digest[kDigestSize] = {};
    auto digestStart = std::chrono::steady_clock::now();
    for (size_t i = 0; i < kEntries; i++)
        FeedDigest(digest, entries[i].data.data(), kEntrySize);
    double digestTime = Seconds(digestStart);
    entries.clear();
    if (system("sync") != 0) return Fail("sync");

    const size_t total = kEntries * kEntrySize;
    ResetFake();
    auto start = std::chrono::steady_clock::now();
    uint32_t result = InstallPackage(installFolder.path.c_str(), work.Join("patch.exe").c_str());
    double install = Seconds(start);
    if (result != UPDATE_OK) return Fail("install failed");

    // The host's own paths: ScratchFolder paths are plain ASCII here.
    std::string cp = "cp";
    for (size_t i = 0; i < kEntries; i++)
        cp += " '" + work.path + "/src" + std::to_string(i) + "'";
    std::string copyFolder = work.path + "/copy";
    cp = "mkdir '" + copyFolder + "' && " + cp + " '" + copyFolder + "/'";
    start = std::chrono::steady_clock::now();
    if (system(cp.c_str()) != 0) return Fail("cp failed");
    double copy = Seconds(start);
    start = std::chrono::steady_clock::now();
    if (system("sync") != 0) return Fail("sync");
    double copySync = copy + Seconds(start);

    // cp may copy inside the kernel (copy_file_range); dd moves every byte
    // through user space with read and write, as the installer does.
    std::string dd = "mkdir '" + copyFolder + "2'";
    for (size_t i = 0; i < kEntries; i++)
        dd += " && dd status=none bs=1M if='" + work.path + "/src" + std::to_string(i) + "' of='" +
              copyFolder + "2/" + std::to_string(i) + "'";
    dd += " && sync";
    start = std::chrono::steady_clock::now();
    if (system(dd.c_str()) != 0) return Fail("dd failed");
    double ddSync = Seconds(start);

    printf("install  %7.1f MiB in %6.3f s: %8.1f MiB/s (every file flushed to disk)\n", MiB(total),
           install, MiB(total) / install);
    printf("cp       %7.1f MiB in %6.3f s: %8.1f MiB/s\n", MiB(total), copy, MiB(total) / copy);
    printf("cp+sync  %7.1f MiB in %6.3f s: %8.1f MiB/s\n", MiB(total), copySync,
           MiB(total) / copySync);
    printf("dd+sync  %7.1f MiB in %6.3f s: %8.1f MiB/s (bs=1M)\n", MiB(total), ddSync,
           MiB(total) / ddSync);
    printf("digest   %7.1f MiB in %6.3f s: %8.1f MiB/s (in memory, no I/O; %02x)\n", MiB(total),
           digestTime, MiB(total) / digestTime, digest[0]);
    printf("throughput ratio install/cp %.2f, install/(cp+sync) %.2f, install/(dd+sync) %.2f\n",
           copy / install, copySync / install, ddSync / install);

    // 100,000 lines, then 256 names of which every other one is already listed.
    std::string list;
    for (int i = 0; i < 100000; i++)
        list += "Archive\\Data" + std::to_string(i) + ".arc\r\n";
    if (!WriteText(installFolder.Join("uninst.lst"), list)) return Fail("list");
    std::vector<std::string> names;
    for (int i = 0; i < 256; i++)
        names.push_back(i % 2 ? "archive\\data" + std::to_string(i * 300) + ".arc"
                              : "New\\File" + std::to_string(i) + ".arc");
    std::vector<const char*> table;
    for (const std::string& n : names)
        table.push_back(n.c_str());
    table.push_back(nullptr);
    start = std::chrono::steady_clock::now();
    int merged = UpdateUninstallList(installFolder.path.c_str(), table.data());
    double merge = Seconds(start);
    if (!merged) return Fail("merge failed");
    printf("uninstall list: 256 names into 100,000 lines (%.1f MiB) in %.1f ms\n", MiB(list.size()),
           merge * 1000);
    return 0;
}
