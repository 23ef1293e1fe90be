// update.exe against files another program holds, and killed in the middle of
// its commit: the real program under Wine, driven as a user would.
#include "driver.h"
#include "messages.h"
#include "package_writer.h"
#include "test_support.h"
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>

namespace {

struct Unmanaged {
    Unmanaged() { UseUnmanagedWindows(); }
} gUnmanaged;

typedef std::map<std::string, Bytes> Tree;
const std::string kDataPath = "Archive\\data01000.arc";
const LONG kLastEntryExtracted = 4; // the overall bar after the third file

class CommitE2E : public ::testing::Test {
  protected:
    ScratchFolder scratch;
    std::string install, patch;
    std::vector<WriterEntry> entries;

    void SetUp() override {
        install = scratch.Join(Sjis("クイルミア"));
        patch = scratch.Join("update.exe");
        ASSERT_TRUE(MakeFolder(install));
        ASSERT_TRUE(MakeFolder(install + "\\Archive"));
        entries = {PatternEntry("data01000.arc", kDataPath, 200000, 11),
                   PatternEntry("readme.txt", "readme.txt", 2000, 12),
                   PatternEntry(Sjis("説明.txt"), Sjis("説明.txt"), 777, 13)};
        WriterOptions options;
        options.title = "commit";
        Bytes stub;
        ASSERT_TRUE(ReadBytes(BuiltUpdateExe(), &stub));
        std::string error;
        ASSERT_TRUE(WritePackageFile(patch, stub, options, entries, &error)) << error;
        ResetInstall();
    }
    void TearDown() override { ClearInstallFolder(); }

    void ResetInstall() {
        for (const auto& item : Snapshot()) {
            SetFileAttributesA((install + "\\" + item.first).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA((install + "\\" + item.first).c_str());
        }
        ASSERT_TRUE(WriteBytes(install + "\\KRN.hvl",
                               ToBytes(std::string("BHV_V2__") + std::string(8, '\0'))));
        ASSERT_TRUE(WriteText(install + "\\uninst.lst", "Game.exe\r\n"));
        ASSERT_TRUE(WriteBytes(install + "\\" + kDataPath, PatternBytes(5000, 1)));
        ASSERT_TRUE(WriteBytes(install + "\\readme.txt", PatternBytes(100, 2)));
        ASSERT_TRUE(SetInstallFolder(WideFromAnsi(install)));
    }

    Tree Snapshot() const {
        Tree tree;
        for (const std::string& folder : {std::string(), std::string("Archive\\")})
            for (const std::string& name : ListFolder(install + "\\" + folder))
                if (name != "Archive")
                    ReadBytes(install + "\\" + folder + name, &tree[folder + name]);
        return tree;
    }

    // Runs the patch to its end, answering Yes and confirming the outcome;
    // atPause runs once the last file is extracted, before the commit, and
    // whileRunning on every turn of the wait. The exit code, or 0xDEAD for a
    // run the test ended itself.
    DWORD Run(std::function<void(ChildProcess*)> atPause = nullptr,
              std::function<bool(ChildProcess*)> whileRunning = nullptr) {
        ChildProcess child;
        if (!StartProgram(patch, &child, OwnFolder() + "\\uihook.dll")) {
            ADD_FAILURE() << "cannot start " << patch;
            return 0;
        }
        ArmPause(&child, kLastEntryExtracted);
        std::set<HWND> seen;
        DWORD start = GetTickCount();
        while (IsRunning(child) && GetTickCount() - start < 60000) {
            if (WaitForPause(child, 0)) {
                if (atPause) atPause(&child);
                ResumeFromPause(child);
            }
            if (whileRunning && !whileRunning(&child)) break;
            for (const MessageBoxInfo& found : OpenMessageBoxes(child)) {
                if (seen.count(found.window)) continue;
                seen.insert(found.window);
                Sleep(50);
                MessageBoxInfo box;
                if (!ReadMessageBox(child, found.window, &box)) continue;
                ClickButton(box.window, box.textSjis == kAskUpdate ? IDYES : IDOK);
            }
            Sleep(5);
        }
        DWORD exitCode = 0;
        if (!WaitForExit(&child, 100, &exitCode)) exitCode = 0xDEAD;
        EndProgram(&child);
        return exitCode;
    }

    // The last run's record in the support log.
    static std::string LastLogRun() {
        char folder[MAX_PATH + 1];
        DWORD n = GetTempPathA(sizeof folder, folder);
        std::string log = ReadText(std::string(folder, n) + "KRNUpdate.log");
        size_t start = log.rfind("update.exe ");
        return start == std::string::npos ? log : log.substr(start);
    }
};

// Held open without delete sharing, as a virus scanner or a launcher holds it.
HANDLE Hold(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, 0, NULL);
}

bool IsCommitFile(const std::string& name) {
    for (const char* tail : {".tmp", ".old", ".jnl"})
        if (name.size() > 4 && name.compare(name.size() - 4, 4, tail) == 0) return true;
    return false;
}

} // namespace

// A target held for about a second is waited for and then replaced; held
// for the whole run, nothing is replaced. The log names the file and the
// system's error code (32, a sharing violation).
TEST_F(CommitE2E, HeldTargetIsWaitedFor) {
    const std::string readme = install + "\\readme.txt";
    HANDLE held = NULL;
    DWORD releaseAt = 0;
    DWORD exitCode = Run(
        [&](ChildProcess*) {
            held = Hold(readme);
            releaseAt = GetTickCount() + 1000;
        },
        [&](ChildProcess*) {
            if (held && GetTickCount() >= releaseAt) {
                CloseHandle(held);
                held = NULL;
            }
            return true;
        });
    if (held) CloseHandle(held);
    EXPECT_EQ(0u, exitCode);
    Tree after = Snapshot();
    for (const WriterEntry& e : entries)
        EXPECT_TRUE(after[e.listPath] == e.data) << e.listPath;
    std::string log = LastLogRun();
    EXPECT_NE(std::string::npos, log.find("readme.txt is in use by another program")) << log;
    EXPECT_NE(std::string::npos, log.find("error 32")) << log;

    ResetInstall();
    Tree before = Snapshot();
    held = Hold(readme);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_EQ(0x80000004u, Run());
    CloseHandle(held);
    EXPECT_TRUE(before == Snapshot());
}

// Killed while its commit waits for a held new file, with one file already
// replaced and another set aside: the next run puts the old state back
// before it extracts anything, then installs the update, leaving nothing.
TEST_F(CommitE2E, RunKilledDuringItsCommitIsRepairedByTheNextRun) {
    ASSERT_EQ(0u, Run());
    const Tree installed = Snapshot();
    ResetInstall();

    HANDLE held = NULL;
    bool setAside = false;
    DWORD exitCode = Run([&](ChildProcess*) { held = Hold(install + "\\readme.txt.tmp"); },
                         [&](ChildProcess*) {
                             // Stop it once it waits with readme.txt set aside.
                             setAside = PathExists(install + "\\readme.txt.old");
                             return !setAside;
                         });
    ASSERT_EQ(0xDEADu, exitCode);
    EXPECT_TRUE(setAside);
    EXPECT_TRUE(PathExists(install + "\\KRNUpdate.jnl"));
    if (held) CloseHandle(held);

    EXPECT_EQ(0u, Run());
    Tree after = Snapshot();
    for (const auto& item : after)
        EXPECT_FALSE(IsCommitFile(item.first)) << item.first;
    EXPECT_TRUE(installed == after);
    EXPECT_NE(std::string::npos, LastLogRun().find("recovery complete"));
}
