// Throughput of the update procedure with each digest path against `cp` and a
// plain read/write loop over the same bytes, with and without flushing; the
// digest alone per path, also built with eight vector registers as 32-bit
// code has; and the time to merge names into a long uninstall list. Prints
// figures; judges nothing. Run through scripts/bench.sh.
#include "digest.h"
#include "digest_paths.h"
#include "fake_progress.h"
#include "package_writer.h"
#include "result_codes.h"
#include "test_support.h"
#include "uninstall_list.h"
#include "update_procedure.h"
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

// The kernels compiled with xmm8-15 out of reach (digest_narrow.cpp).
namespace narrow_sse2 {
size_t FeedDigestSse2(DigestState* state, const unsigned char* data, size_t size);
}
namespace narrow_avx2 {
size_t FeedDigestAvx2(DigestState* state, const unsigned char* data, size_t size);
}

// The install flushes every file it writes through fsync. This definition
// stands in for the C library's in this program only, so the same install
// can be timed with and without flushing.
static bool gSkipFsync;
extern "C" int fsync(int fd) {
    return gSkipFsync ? 0 : (int)syscall(SYS_fsync, fd);
}

static double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor time, user and system, of this program and of the programs it
// has waited for (cp). On a busy machine it shows the work done apart from
// the waits for a turn; without flushing there is no other wait.
static double CpuSeconds() {
    double s = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage u;
        getrusage(who, &u);
        s +=
            u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    }
    return s;
}

static double MiB(size_t bytes) {
    return bytes / 1048576.0;
}

static int Fail(const char* what) {
    fprintf(stderr, "engine_bench: %s\n", what);
    return 1;
}

// One timed operation; the best and the worst of its rounds.
struct Figure {
    std::string name;
    std::function<bool()> run;                 // false: failed
    double best = 1e30, worst = 0, cpu = 1e30; // seconds; cpu: best processor time
};

static bool Shell(const std::string& command) {
    return system(command.c_str()) == 0;
}

// Copies src to dst through one 1 MiB buffer, as the installer moves bytes.
static bool CopyLoop(const std::string& src, const std::string& dst, bool flush,
                     std::vector<unsigned char>& buffer) {
    int in = open(src.c_str(), O_RDONLY);
    int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = in >= 0 && out >= 0;
    for (ssize_t got; ok && (got = read(in, buffer.data(), buffer.size())) != 0;)
        ok = got > 0 && write(out, buffer.data(), (size_t)got) == got;
    if (ok && flush) ok = fsync(out) == 0;
    if (in >= 0) close(in);
    if (out >= 0 && close(out) != 0) ok = false;
    return ok;
}

// Digests count buffers of size bytes in 1 MiB chunks with kernel, as
// FeedDigest would.
static void DigestWith(DigestKernel kernel, const std::vector<Bytes>& data, unsigned char* sink) {
    DigestState state = {};
    for (const Bytes& bytes : data)
        for (size_t at = 0; at < bytes.size(); at += 1048576) {
            size_t chunk = std::min<size_t>(1048576, bytes.size() - at);
            size_t done = kernel ? kernel(&state, bytes.data() + at, chunk) : 0;
            FeedDigestPlain(&state, bytes.data() + at + done, chunk - done);
        }
    *sink ^= (unsigned char)state.h;
}

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? atoi(argv[1]) : 3;
    const size_t kEntries = 4;
    const size_t kEntrySize = 64u << 20; // four entries: 256 MiB in all
    const size_t total = kEntries * kEntrySize;
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
    // The same bytes as plain files for cp and the loop, written now so that
    // everything reads from the page cache.
    std::string srcList;
    for (size_t i = 0; i < kEntries; i++) {
        std::string n = std::to_string(i);
        if (!WriteBytes(work.Join("src" + n), entries[i].data)) return Fail("source");
        srcList += " '" + work.path + "/src" + n + "'";
    }
    std::vector<Bytes> inMemory;
    for (WriterEntry& e : entries)
        inMemory.push_back(std::move(e.data));
    entries.clear();

    // Every figure writes new files into a folder of its own, as the install
    // does; overwriting or deleting the previous step's files would make the
    // next step pay for freeing them.
    int folders = 0;
    auto NewFolder = [&](bool installation) {
        std::string path = work.path + "/out" + std::to_string(folders++);
        if (!MakeFolder(path) || (installation && (!WriteBytes(path + "/KRN.hvl", emptyList) ||
                                                   !WriteText(path + "/uninst.lst", "x\n"))))
            path.clear();
        return path;
    };

    std::vector<Figure> io, digests;
    std::vector<unsigned char> buffer(1048576);
    for (int flush = 0; flush < 2; flush++) {
        const char* how = flush ? "flushed" : "no flush";
        // The host's own paths: ScratchFolder paths are plain ASCII here.
        std::string out = NewFolder(false);
        std::string cp = "cp" + srcList + " '" + out + "/'", sync = "sync";
        for (size_t i = 0; i < kEntries; i++)
            sync += " '" + out + "/src" + std::to_string(i) + "'";
        io.push_back({std::string("cp, ") + (flush ? "then sync of its files" : how),
                      [cp, sync, flush] { return Shell(cp) && (!flush || Shell(sync)); }});
        out = NewFolder(false);
        io.push_back({std::string("read/write loop, 1 MiB, ") + how, [&, out, flush] {
                          for (size_t i = 0; i < kEntries; i++) {
                              std::string n = "/src" + std::to_string(i);
                              if (!CopyLoop(work.path + n, out + n, flush, buffer)) return false;
                          }
                          return true;
                      }});
        for (int path = kDigestPlain; path < kDigestPathCount; path++) {
            if (!ForceDigestPath((DigestPath)path)) continue;
            std::string folder = NewFolder(true);
            io.push_back(
                {std::string("install, ") + DigestPathName((DigestPath)path) + " digest, " + how,
                 [&, folder, path, flush] {
                     ForceDigestPath((DigestPath)path);
                     gSkipFsync = !flush;
                     ResetFake();
                     uint32_t result =
                         InstallPackage(folder.c_str(), work.Join("patch.exe").c_str());
                     gSkipFsync = false;
                     return result == UPDATE_OK;
                 }});
        }
    }
    unsigned char sink = 0;
    const struct {
        const char* name;
        DigestPath path;
        DigestKernel kernel;
    } kernels[] = {
        {"plain", kDigestPlain, nullptr},
        {"SSE2", kDigestSse2, FeedDigestSse2},
        {"AVX2", kDigestAvx2, FeedDigestAvx2},
        {"SSE2, 8 vector registers (32-bit proxy)", kDigestSse2, narrow_sse2::FeedDigestSse2},
        {"AVX2, 8 vector registers (32-bit proxy)", kDigestAvx2, narrow_avx2::FeedDigestAvx2}};
    for (const auto& k : kernels) {
        if (!ForceDigestPath(k.path)) {
            printf("digest %s: this processor cannot run it\n", k.name);
            continue;
        }
        DigestKernel kernel = k.kernel;
        digests.push_back({k.name, [&, kernel] {
                               DigestWith(kernel, inMemory, &sink);
                               return true;
                           }});
    }
    ForceDigestPath(BestDigestPath());

    if (folders != (int)io.size() || io.size() < 4) return Fail("folders");
    // Rounds interleave the figures so that a busy spell on the machine
    // touches them all alike. Every timed step starts with nothing dirty; the
    // files of a round are removed after it, outside the timings.
    std::string clean =
        "rm -f '" + work.path + "'/out*/src* '" + work.path + "'/out*/data*.arc && sync && sleep 1";
    for (int round = 0; round < rounds; round++) {
        for (std::vector<Figure>* list : {&io, &digests})
            for (Figure& f : *list) {
                if (!Shell("sync")) return Fail("sync");
                double cpuStart = CpuSeconds();
                auto start = std::chrono::steady_clock::now();
                if (!f.run()) return Fail(f.name.c_str());
                double s = Seconds(start);
                f.cpu = std::min(f.cpu, CpuSeconds() - cpuStart);
                f.best = std::min(f.best, s);
                f.worst = std::max(f.worst, s);
            }
        if (!Shell(clean)) return Fail("clean");
    }

    printf("%.0f MiB from the page cache, best of %d rounds; spread = worst/best - 1\n", MiB(total),
           rounds);
    printf("%-40s %19s %7s | %s\n", "", "elapsed time", "", "processor time");
    printf("%-40s %7s %5s %6s %6s | %7s %5s %6s\n", "", "MiB/s", "x cp", "x loop", "spread",
           "MiB/s", "x cp", "x loop");
    for (size_t i = 0; i < io.size(); i++) {
        // io holds, per flush mode, cp first and the loop second.
        const Figure& cp = io[i < io.size() / 2 ? 0 : io.size() / 2];
        const Figure& loop = io[i < io.size() / 2 ? 1 : io.size() / 2 + 1];
        const Figure& f = io[i];
        printf("%-40s %7.1f %5.2f %6.2f %5.0f%% | %7.1f %5.2f %6.2f\n", f.name.c_str(),
               MiB(total) / f.best, cp.best / f.best, loop.best / f.best,
               (f.worst / f.best - 1) * 100, MiB(total) / f.cpu, cp.cpu / f.cpu, loop.cpu / f.cpu);
    }
    printf("%-40s %7s %7s %6s | %7s %7s\n", "digest alone, in memory, 1 MiB chunks", "MiB/s",
           "x plain", "spread", "MiB/s", "x plain");
    for (const Figure& f : digests)
        printf("  %-38s %7.1f %7.2f %5.0f%% | %7.1f %7.2f\n", f.name.c_str(), MiB(total) / f.best,
               digests[0].best / f.best, (f.worst / f.best - 1) * 100, MiB(total) / f.cpu,
               digests[0].cpu / f.cpu);
    printf("(digest check byte %02x)\n", sink);

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
    auto start = std::chrono::steady_clock::now();
    int merged = UpdateUninstallList(installFolder.path.c_str(), table.data());
    double merge = Seconds(start);
    if (!merged) return Fail("merge failed");
    printf("uninstall list: 256 names into 100,000 lines (%.1f MiB) in %.1f ms\n", MiB(list.size()),
           merge * 1000);
    return 0;
}
