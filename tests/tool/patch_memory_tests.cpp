// Build, verify and extract of a patch far larger than the memory they may
// use: each runs in a child whose address space is capped at what it holds
// already plus 64 MiB, so any buffer of a whole entry or patch fails there.
#include "patch_extract.h"
#include "tool_fixture.h"
#include <fcntl.h>
#include <functional>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define KRN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KRN_ASAN 1
#endif
#endif

namespace {

const uint64_t kHeadroom = 64ull << 20;
const uint64_t kEntrySize = 300ull << 20;

// The process's address-space size (VmSize), 0 when unknown.
uint64_t AddressSpaceNow() {
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f) return 0;
    unsigned long long pages = 0;
    if (fscanf(f, "%llu", &pages) != 1) pages = 0;
    fclose(f);
    return pages * (uint64_t)sysconf(_SC_PAGESIZE);
}

// Runs work in a child limited to kHeadroom more address space than it has;
// the wait status, which is 0 only when work returned true. The child ends by
// _exit, so it leaves the parent's scratch folder alone.
int StatusWithinHeadroom(const std::function<bool()>& work) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        uint64_t now = AddressSpaceNow();
        struct rlimit limit = {now + kHeadroom, now + kHeadroom};
        if (!now || setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
        bool ok = false;
        try {
            ok = work();
        } catch (...) {
        }
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return status;
}

TEST(PatchMemory, LargeEntryStaysWithinHeadroom) {
#ifdef KRN_ASAN
    // ASan reserves terabytes of address space, so no limit can be set.
    GTEST_SKIP() << "address space cannot be limited under AddressSanitizer";
#endif
    ToolScratch s;
    ASSERT_TRUE(s.Folder("files"));
    ASSERT_TRUE(s.Write("stub.exe", FakeStub()));
    // Sparse: the source costs no disk; the patch and its extraction do.
    int fd = open(s.Path("files/data.arc").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t)kEntrySize), 0);
    close(fd);
    BuildRequest request;
    request.stubPath = s.Path("stub.exe");
    request.title = "large";
    request.folder = s.Path("files");
    request.outPath = s.Path("patch.exe");

    struct Step {
        const char* name;
        std::function<bool()> run;
    };
    const Step steps[] = {
        {"build",
         [&] {
             BuildSummary summary;
             std::vector<std::string> problems;
             return BuildPatch(request, &summary, &problems);
         }},
        {"verify",
         [&] {
             PatchReport report;
             return InspectPatch(request.outPath, &report) && report.errors.empty();
         }},
        {"extract",
         [&] {
             uint32_t files = 0;
             std::vector<std::string> problems;
             return ExtractPatch(request.outPath, s.Path("unpacked"), false, &files, &problems);
         }},
    };
    for (const Step& step : steps)
        EXPECT_EQ(StatusWithinHeadroom(step.run), 0) << step.name;
    struct stat unpacked;
    ASSERT_EQ(stat(s.Path("unpacked/data.arc").c_str(), &unpacked), 0);
    EXPECT_EQ((uint64_t)unpacked.st_size, kEntrySize);
}

} // namespace
