// The update procedure end to end on real folders: a package is built with the
// package writer, installed into a scratch installation, and the installation
// is compared with what each outcome must leave behind.
#include "digest.h"
#include "fake_progress.h"
#include "file_faults.h"
#include "file_system.h"
#include "package.h"
#include "package_writer.h"
#include "progress.h"
#include "result_codes.h"
#include "test_support.h"
#include "update_procedure.h"
#include "commit_journal.h"
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string.h>
#include <stdio.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

typedef std::map<std::string, Bytes> Tree; // relative path -> contents

const std::string kNul(1, '\0');
const std::string kDataPath = "Archive\\data01000.arc";

Bytes DigestOf(const Bytes& data) {
    unsigned char d[kDigestSize] = {};
    FeedDigest(d, data.data(), data.size());
    return Bytes(d, d + kDigestSize);
}

struct Record {
    std::string path;
    Bytes digest;
    bool operator==(const Record& o) const { return path == o.path && digest == o.digest; }
};

void PutU32(Bytes* out, uint32_t v) {
    for (int i = 0; i < 4; i++)
        out->push_back((unsigned char)(v >> (8 * i)));
}

Bytes ListBytes(const char* magic, uint32_t reserved, const std::vector<Record>& records) {
    Bytes out(magic, magic + 8);
    PutU32(&out, reserved);
    PutU32(&out, (uint32_t)records.size());
    for (const Record& r : records) {
        Bytes path(248, 0);
        memcpy(path.data(), r.path.data(), r.path.size());
        out.insert(out.end(), path.begin(), path.end());
        out.insert(out.end(), r.digest.begin(), r.digest.end());
    }
    return out;
}

std::vector<Record> ParseList(const Bytes& list) {
    std::vector<Record> out;
    for (size_t at = 16; at + 256 <= list.size(); at += 256) {
        Record r;
        r.path = std::string((const char*)&list[at]);
        r.digest.assign(list.begin() + at + 248, list.begin() + at + 256);
        out.push_back(r);
    }
    return out;
}

// A small installation and a patch for it. The patch holds the version list
// (first), a file at the top, a two-chunk file in a sub-folder and a file the
// version list does not name.
struct UpdateTest : ::testing::Test {
    ScratchFolder work;
    std::unique_ptr<ScratchFolder> install;
    FileFaults faults{};
    WriterOptions options;
    std::vector<WriterEntry> entries;
    Bytes systemData = PatternBytes(3000, 1);
    Bytes bigData = PatternBytes(kChunkSize + 1000, 2);
    Bytes readmeData = PatternBytes(100, 3);
    const std::string suffix = Sjis("をインストール中");

    std::string Folder() const { return install->path; }
    std::string PatchPath() const { return work.Join("patch.exe"); }

    void SetUp() override {
        ResetFake();
        options = WriterOptions();
        options.title = "title";
        entries = {
            {"system.arc", "system.arc", systemData, false},
            {"data01000.arc", kDataPath, bigData, false},
            {"readme.txt", "", readmeData, false},
        };
        NewInstallation();
    }
    void TearDown() override {
        gFileFaults = nullptr;
        ResetFake();
    }

    std::vector<Record> OldRecords() const {
        return {{"system.arc", Bytes(8, 1)},
                {kDataPath, Bytes(8, 2)},
                {"keep.dat", Bytes(8, 3)},
                {"gone.dat", Bytes(8, 4)}};
    }

    void NewInstallation() {
        install.reset(new ScratchFolder);
        ASSERT_TRUE(MakeFolder(install->Join("Archive")));
        ASSERT_TRUE(
            WriteBytes(install->Join("KRN.hvl"), ListBytes("BHV_V2__", 0x12345678, OldRecords())));
        ASSERT_TRUE(WriteText(install->Join("system.arc"), "old system"));
        ASSERT_TRUE(WriteText(install->Join(kDataPath), "old data"));
        ASSERT_TRUE(WriteText(install->Join("keep.dat"), "keep"));
        ASSERT_TRUE(WriteText(install->Join("uninst.lst"), "System.arc\r\n$dollar\r\nOld.txt\r\n"));
    }

    uint32_t PackageSize() const {
        Bytes bytes;
        std::string error;
        EXPECT_TRUE(BuildPackage(ToBytes("MZ stub"), options, entries, &bytes, &error)) << error;
        return (uint32_t)bytes.size();
    }

    void BuildPatch() {
        std::string error;
        ASSERT_TRUE(WritePackageFile(PatchPath(), ToBytes("MZ stub"), options, entries, &error))
            << error;
    }

    Tree Snapshot() const {
        Tree tree;
        for (const std::string& name : ListFolder(Folder())) {
            if (name == "Archive") {
                for (const std::string& sub : ListFolder(install->Join("Archive")))
                    ReadBytes(install->Join("Archive\\" + sub), &tree["Archive\\" + sub]);
            } else {
                ReadBytes(install->Join(name), &tree[name]);
            }
        }
        return tree;
    }

    uint32_t Install(const FileFaults& f = FileFaults()) {
        faults = f;
        gFileFaults = &faults;
        uint32_t result = InstallPackage(Folder().c_str(), PatchPath().c_str());
        gFileFaults = nullptr;
        return result;
    }

    // The installed list after a complete run: digests set in place, the
    // vanished file pruned, nothing recorded for the unlisted file.
    Bytes NewList() const {
        return ListBytes("BHV_V2__", 0x12345678,
                         {{"system.arc", DigestOf(systemData)},
                          {kDataPath, DigestOf(bigData)},
                          {"keep.dat", Bytes(8, 3)}});
    }

    Tree WithNewFiles(Tree tree) const {
        tree["system.arc"] = systemData;
        tree[kDataPath] = bigData;
        tree["readme.txt"] = readmeData;
        return tree;
    }
};

void ExpectNoTemporaryFiles(const Tree& tree) {
    for (const auto& item : tree) {
        const std::string& name = item.first;
        EXPECT_FALSE(name.size() >= 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) << name;
    }
}

TEST_F(UpdateTest, InstallsEveryEntryAndRecordsIt) {
    BuildPatch();
    Tree before = Snapshot();
    ASSERT_EQ(UPDATE_OK, Install());

    Tree expected = WithNewFiles(before);
    expected["KRN.hvl"] = NewList();
    expected["uninst.lst"] = ToBytes(
        "system.arc\nold.txt\nkrn.hvl\narchive\\data01000.arc\nreadme.txt\n$dollar\n" + kNul);
    EXPECT_EQ(expected, Snapshot());

    const std::vector<std::string> labels = {"KRN.hvl" + suffix, "system.arc" + suffix,
                                             kDataPath + suffix, "readme.txt" + suffix};
    EXPECT_EQ(labels, gFake.labels);
    EXPECT_EQ(65535u, gFake.fileRange);
    EXPECT_EQ(4u, gFake.overallRange);
    EXPECT_EQ(4u, gFake.overallPos);
    EXPECT_EQ(65535u, gFake.filePos);

    // Set-up, then per entry: label, file bar to 0, pump; per chunk: bar,
    // pump; per written entry: overall bar, pump. The list entry writes
    // nothing, so the overall bar jumps from 0 to 2.
    const uint32_t firstChunk = (uint32_t)((uint64_t)kChunkSize * 65535 / bigData.size());
    const std::vector<std::string> events = {"range file 65535",
                                             "pos file 0",
                                             "range overall 4",
                                             "pos overall 0",
                                             "pump",
                                             "label",
                                             "pos file 0",
                                             "pump",
                                             "label",
                                             "pos file 0",
                                             "pump",
                                             "pos file 65535",
                                             "pump",
                                             "pos overall 2",
                                             "pump",
                                             "label",
                                             "pos file 0",
                                             "pump",
                                             "pos file " + std::to_string(firstChunk),
                                             "pump",
                                             "pos file 65535",
                                             "pump",
                                             "pos overall 3",
                                             "pump",
                                             "label",
                                             "pos file 0",
                                             "pump",
                                             "pos file 65535",
                                             "pump",
                                             "pos overall 4",
                                             "pump"};
    EXPECT_EQ(events, gFake.events);
}

TEST_F(UpdateTest, WorksWithoutControls) {
    gFake.nullControls = true;
    BuildPatch();
    ASSERT_EQ(UPDATE_OK, Install());
    EXPECT_TRUE(gFake.labels.empty());
    EXPECT_EQ(12u, gFake.pumps);
    EXPECT_EQ(systemData, ToBytes(ReadText(install->Join("system.arc"))));
}

// What each failure leaves, phase by phase.
TEST_F(UpdateTest, FailuresLeaveWhatTheirPhaseAllows) {
    enum Outcome { kUnchanged, kFilesAndList };
    struct Scenario {
        const char* what;
        std::function<void(UpdateTest*)> prepare;
        FileFaults faults;
        uint32_t result;
        Outcome outcome;
    };
    const FileFaults none{};
    auto faultsWith = [](std::function<void(FileFaults*)> set) {
        FileFaults f{};
        set(&f);
        return f;
    };
    const Scenario scenarios[] = {
        {"installed list missing",
         [](UpdateTest* t) { ASSERT_TRUE(DeletePath(t->install->Join("KRN.hvl").c_str())); }, none,
         UPDATE_E_FAILED, kUnchanged},
        {"installed list shorter than its header",
         [](UpdateTest* t) { ASSERT_TRUE(WriteText(t->install->Join("KRN.hvl"), "BHV_V2__")); },
         none, UPDATE_E_FAILED, kUnchanged},
        {"installed list V1",
         [](UpdateTest* t) {
             ASSERT_TRUE(WriteBytes(t->install->Join("KRN.hvl"), ListBytes("BHV_____", 0, {})));
         },
         none, UPDATE_E_FAILED, kUnchanged},
        {"installed list unreadable", nullptr,
         faultsWith([](FileFaults* f) { f->failOpenRead = "KRN.hvl"; }), UPDATE_E_FAILED,
         kUnchanged},
        {"package ends before the archive header",
         [](UpdateTest* t) { t->options.truncateBy = t->PackageSize() - kArchiveOffset + 1; }, none,
         UPDATE_E_PACKAGE, kUnchanged},
        {"package ends inside the archive header",
         [](UpdateTest* t) { t->options.truncateBy = t->PackageSize() - kArchiveOffset - 15; },
         none, UPDATE_E_PACKAGE, kUnchanged},
        {"package ends inside the entry table",
         [](UpdateTest* t) { t->options.truncateBy = t->PackageSize() - kArchiveOffset - 100; },
         none, UPDATE_E_PACKAGE, kUnchanged},
        {"package announces 257 entries", [](UpdateTest* t) { t->options.countOverride = 257; },
         none, UPDATE_E_PACKAGE_COUNT, kUnchanged},
        {"entry reaches past the end", [](UpdateTest* t) { t->options.pastEndEntry = 1; }, none,
         UPDATE_E_PACKAGE, kUnchanged},
        {"digest mismatch", [](UpdateTest* t) { t->entries[1].wrongDigest = true; }, none,
         UPDATE_E_PACKAGE, kUnchanged},
        {"temporary file not creatable", nullptr,
         faultsWith([](FileFaults* f) { f->failCreate = "data01000.arc.tmp"; }), UPDATE_E_FAILED,
         kUnchanged},
        {"target folder missing",
         [](UpdateTest* t) { t->entries[1].listPath = "Missing\\data01000.arc"; }, none,
         UPDATE_E_FAILED, kUnchanged},
        {"short write", nullptr, faultsWith([](FileFaults* f) { f->shortWriteAt = 2; }),
         UPDATE_E_FAILED, kUnchanged},
        {"flush fails", nullptr, faultsWith([](FileFaults* f) { f->failFlushAt = 3; }),
         UPDATE_E_FAILED, kUnchanged},
        {"a folder stands where a file goes",
         [](UpdateTest* t) { ASSERT_TRUE(MakeFolder(t->install->Join("readme.txt"))); }, none,
         UPDATE_E_FAILED, kUnchanged},
        {"second move fails", nullptr,
         faultsWith([](FileFaults* f) { f->failMove = "data01000.arc"; }), UPDATE_E_FAILED,
         kUnchanged},
        {"installed list not re-creatable", nullptr,
         faultsWith([](FileFaults* f) { f->failCreate = "KRN.hvl"; }), UPDATE_E_FAILED, kUnchanged},
        {"uninstall list missing",
         [](UpdateTest* t) { ASSERT_TRUE(DeletePath(t->install->Join("uninst.lst").c_str())); },
         none, UPDATE_E_UNINSTALL_LIST, kFilesAndList},
        {"uninstall list not replaceable", nullptr,
         faultsWith([](FileFaults* f) { f->failMove = "uninst.lst"; }), UPDATE_E_UNINSTALL_LIST,
         kFilesAndList},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.what);
        SetUp();
        if (s.prepare) s.prepare(this);
        BuildPatch();
        Tree before = Snapshot();
        EXPECT_EQ(s.result, Install(s.faults));
        Tree after = Snapshot();
        ExpectNoTemporaryFiles(after);
        Tree expected = before;
        switch (s.outcome) {
        case kUnchanged:
            break;
        case kFilesAndList:
            expected = WithNewFiles(before);
            expected["KRN.hvl"] = NewList();
            break;
        }
        EXPECT_EQ(expected, after);
        TearDown();
    }
}

// An empty uninstall list fails the same way as a missing one; it is then
// still empty, and a missing one is not created.
TEST_F(UpdateTest, MissingUninstallListIsNotCreated) {
    BuildPatch();
    ASSERT_TRUE(WriteText(install->Join("uninst.lst"), ""));
    EXPECT_EQ(UPDATE_E_UNINSTALL_LIST, Install());
    EXPECT_EQ("", ReadText(install->Join("uninst.lst")));
    EXPECT_EQ(ParseList(NewList()), ParseList(ToBytes(ReadText(install->Join("KRN.hvl")))));
}

// Every pump point in turn, and every way the run can be stopped there:
// nothing is replaced, no temporary file stays, and the run stops at the
// next checkpoint without pumping again.
TEST_F(UpdateTest, CancelOrCloseAtAnyPumpReplacesNothing) {
    BuildPatch();
    ASSERT_EQ(UPDATE_OK, Install());
    const uint32_t pumps = gFake.pumps;
    ASSERT_EQ(12u, pumps);

    struct Stop {
        PumpAction action;
        uint32_t result;
    };
    const Stop stops[] = {{kPumpCancel, UPDATE_E_CANCELLED},
                          {kPumpClose, UPDATE_E_CLOSED},
                          {kPumpQuit, UPDATE_E_CLOSED},
                          {kPumpCancelAndClose, UPDATE_E_CANCELLED}};
    for (uint32_t at = 1; at <= pumps; at++) {
        for (const Stop& stop : stops) {
            SCOPED_TRACE("pump " + std::to_string(at) + " action " + std::to_string(stop.action));
            NewInstallation();
            Tree before = Snapshot();
            ResetFake();
            gFake.actAt = at;
            gFake.action = stop.action;
            EXPECT_EQ(stop.result, Install());
            EXPECT_EQ(at, gFake.pumps);
            EXPECT_EQ(before, Snapshot());
            // WM_QUIT becomes the close flag.
            EXPECT_EQ(stop.action != kPumpCancel, gCloseFlag == 1);
        }
    }
}

// A flag set before the run outranks a failure of the package, cancel
// outranks close; only a missing installed list ends the run before the
// flags are looked at.
TEST_F(UpdateTest, FlagsOutrankTheResult) {
    options.countOverride = 257;
    BuildPatch();
    gCloseFlag = 1;
    EXPECT_EQ(UPDATE_E_CLOSED, Install());
    gCancelFlag = 1;
    EXPECT_EQ(UPDATE_E_CANCELLED, Install());
    ASSERT_TRUE(DeletePath(install->Join("KRN.hvl").c_str()));
    EXPECT_EQ(UPDATE_E_FAILED, Install());
    EXPECT_EQ(0u, gFake.pumps);
}

TEST_F(UpdateTest, UnsafeOrCollidingNamesAreRefusedBeforeAnythingIsWritten) {
    // The entry name matches the file-name part of its list path, so the list
    // path becomes the install name.
    const WriterEntry bad[] = {
        {"evil.txt", "..\\evil.txt", Bytes(10, 'e'), false},
        {"evil.txt", "Archive\\..\\..\\evil.txt", Bytes(10, 'e'), false},
        {"evil.txt", "\\evil.txt", Bytes(10, 'e'), false},
        {"evil.txt", "/evil.txt", Bytes(10, 'e'), false},
        {"evil.txt", "C:evil.txt", Bytes(10, 'e'), false},
        {"evil.txt", "Archive\\\\evil.txt", Bytes(10, 'e'), false},
        {"evil.txt", "dir.\\evil.txt", Bytes(10, 'e'), false},
        {"CON", "Archive\\CON", Bytes(10, 'e'), false},
        {"nul.arc", "Archive\\nul.arc", Bytes(10, 'e'), false},
        {"AUX", "", Bytes(10, 'e'), false}, // unlisted: its own name
        {"evil.txt.", "", Bytes(10, 'e'), false},
        // Two entries, one target: the shared temporary file would break the second move.
        {"DATA01000.ARC", "", Bytes(10, 'e'), false}, // found by its file-name part
        {"README.TXT", "", Bytes(10, 'e'), false},
        // One entry's temporary or set-aside file is another's target; the
        // commit's own names.
        {"system.arc.tmp", "", Bytes(10, 'e'), false},
        {"data01000.arc.old", "Archive\\Data01000.arc.old", Bytes(10, 'e'), false},
        {"KRN.hvl.old", "", Bytes(10, 'e'), false},
        {"krnupdate.jnl", "", Bytes(10, 'e'), false},
        {"uninst.lst", "", Bytes(10, 'e'), false},
    };
    const std::vector<WriterEntry> good = entries;
    for (const WriterEntry& entry : bad) {
        SCOPED_TRACE(entry.name + " as " + entry.listPath);
        entries = good;
        entries.push_back(entry);
        BuildPatch();
        Tree before = Snapshot();
        ResetFake();
        EXPECT_EQ(UPDATE_E_PACKAGE, Install());
        EXPECT_EQ(before, Snapshot());
        EXPECT_EQ(0u, gFake.pumps);
    }
}

// "%s\%s.tmp" must fit its 260-byte buffer; a cut path would name another file.
TEST_F(UpdateTest, TemporaryPathTooLongFailsBeforeAnythingIsReplaced) {
    const std::string leaf(45, 'l');
    const std::string longName = std::string(200, 'd') + "\\" + leaf; // 246 bytes
    entries.push_back({leaf, longName, Bytes(10, 'x'), false});
    BuildPatch();
    Tree before = Snapshot();
    EXPECT_EQ(UPDATE_E_FAILED, Install());
    EXPECT_EQ(before, Snapshot());
    // The label is only cut, and not inside a double-byte character.
    ASSERT_EQ(5u, gFake.labels.size());
    EXPECT_EQ(longName + suffix.substr(0, 12), gFake.labels.back());
}

// A record that names the target in another letter case is the target's
// record: its digest is set in place and nothing is appended.
TEST_F(UpdateTest, RecordInAnotherCaseIsUpdatedInPlace) {
    std::vector<Record> old = OldRecords();
    old[1].path = "archive\\DATA01000.arc";
    ASSERT_TRUE(WriteBytes(install->Join("KRN.hvl"), ListBytes("BHV_V2__", 0, old)));
    BuildPatch();
    ASSERT_EQ(UPDATE_OK, Install());
    std::vector<Record> records = ParseList(ToBytes(ReadText(install->Join("KRN.hvl"))));
    // Kept by the prune even where the file system tells letter case apart:
    // it names a file the update installs.
    const std::vector<Record> expected = {{"system.arc", DigestOf(systemData)},
                                          {"archive\\DATA01000.arc", DigestOf(bigData)},
                                          {"keep.dat", Bytes(8, 3)}};
    EXPECT_EQ(expected, records);
}

TEST_F(UpdateTest, ReadOnlyTargetIsReplaced) {
    BuildPatch();
    ASSERT_TRUE(SetPathAttributes(install->Join("system.arc").c_str(), kAttrReadOnly));
    ASSERT_EQ(UPDATE_OK, Install());
    EXPECT_EQ(systemData, ToBytes(ReadText(install->Join("system.arc"))));
}

TEST_F(UpdateTest, EdgeEntriesAndLeftovers) {
    // A leftover temporary file of a killed run is overwritten and moved.
    ASSERT_TRUE(WriteText(install->Join("system.arc.tmp"), "stale"));
    entries.push_back({"empty.dat", "empty.dat", Bytes(), false});
    BuildPatch();
    ASSERT_EQ(UPDATE_OK, Install());
    Tree after = Snapshot();
    ExpectNoTemporaryFiles(after);
    EXPECT_EQ(systemData, after["system.arc"]);
    ASSERT_EQ(1u, after.count("empty.dat"));
    EXPECT_TRUE(after["empty.dat"].empty());
    std::vector<Record> records = ParseList(after["KRN.hvl"]);
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ((Record{"empty.dat", Bytes(8, 0)}), records[3]);
}

TEST_F(UpdateTest, PackageWithoutVersionListInstallsAtTheTop) {
    options.listVersion = 0;
    BuildPatch();
    Tree before = Snapshot();
    ASSERT_EQ(UPDATE_OK, Install());
    Tree expected = before;
    expected["system.arc"] = systemData;
    expected["data01000.arc"] = bigData;
    expected["readme.txt"] = readmeData;
    std::vector<Record> kept = OldRecords();
    kept.pop_back(); // gone.dat
    expected["KRN.hvl"] = ListBytes("BHV_V2__", 0x12345678, kept);
    expected["uninst.lst"] =
        ToBytes("system.arc\nold.txt\ndata01000.arc\nreadme.txt\n$dollar\n" + kNul);
    EXPECT_EQ(expected, Snapshot());
}

TEST_F(UpdateTest, EmptyPackageStillRecords) {
    options.listVersion = 0;
    entries.clear();
    BuildPatch();
    ASSERT_EQ(UPDATE_OK, Install());
    std::vector<Record> kept = OldRecords();
    kept.pop_back();
    EXPECT_EQ(kept, ParseList(ToBytes(ReadText(install->Join("KRN.hvl")))));
    EXPECT_EQ("system.arc\nold.txt\n$dollar\n" + kNul, ReadText(install->Join("uninst.lst")));
    EXPECT_EQ(0u, gFake.overallRange);
}

TEST_F(UpdateTest, VersionOneListInThePackageActsLikeVersionTwo) {
    options.listVersion = 1;
    BuildPatch();
    ASSERT_EQ(UPDATE_OK, Install());
    EXPECT_EQ(NewList(), ToBytes(ReadText(install->Join("KRN.hvl"))));
    EXPECT_EQ(bigData, ToBytes(ReadText(install->Join(kDataPath))));
}

#ifdef _WIN32
// Held open without delete sharing for the whole run, a target is waited for
// and then refused before anything is replaced.
TEST_F(UpdateTest, TargetHeldOpenReplacesNothing) {
    BuildPatch();
    Tree before = Snapshot();
    HANDLE held =
        CreateFileA(install->Join(kDataPath).c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    faults = FileFaults(); // counts the waits instead of sleeping them
    gFileFaults = &faults;
    EXPECT_EQ(UPDATE_E_FAILED, InstallPackage(Folder().c_str(), PatchPath().c_str()));
    gFileFaults = nullptr;
    CloseHandle(held);
    EXPECT_EQ(50u, faults.waits);
    EXPECT_EQ(before, Snapshot());
}
#endif

// A tree in a line per file: its name, size and digest, for short diffs.
std::string Describe(const Tree& tree) {
    std::string out;
    for (const auto& item : tree) {
        Bytes d = DigestOf(item.second);
        char line[64];
        snprintf(line, sizeof line, " %zu %02x%02x%02x%02x\n", item.second.size(), d[0], d[1], d[2],
                 d[3]);
        out += item.first + line;
    }
    return out;
}

// The files the commit leaves only while it runs.
bool IsCommitFile(std::string name) {
    name = name.substr(0, name.find(" (read-only)"));
    auto endsWith = [&](const char* tail) {
        size_t n = strlen(tail);
        return name.size() >= n && name.compare(name.size() - n, n, tail) == 0;
    };
    return endsWith(".tmp") || endsWith(".old") || name == kJournalName;
}

// The commit runs are the fixture's patch with small files: one chunk each.
struct CommitTest : UpdateTest {
    Tree oldState, newState, listAloneState;

    void SetUp() override {
        UpdateTest::SetUp();
        bigData = PatternBytes(3000, 2);
        entries[1].data = bigData;
        BuildPatch();
        NewInstallation();
        oldState = State();
        ASSERT_EQ(UPDATE_OK, Install());
        newState = State();
        listAloneState = newState;
        listAloneState["uninst.lst"] = oldState["uninst.lst"];
        NewInstallation();
    }
    // The installation with a read-only target.
    void NewInstallation() {
        UpdateTest::NewInstallation();
        ASSERT_TRUE(SetPathAttributes(install->Join("system.arc").c_str(), kAttrReadOnly));
    }
    // Contents, and which files are read-only.
    Tree State() const {
        Tree tree = Snapshot();
        for (const auto& item : Snapshot())
            if (GetPathAttributes(install->Join(item.first).c_str()) & kAttrReadOnly)
                tree[item.first + " (read-only)"];
        return tree;
    }
    static std::vector<std::string> Leftovers(Tree* tree) {
        std::vector<std::string> names;
        for (auto it = tree->begin(); it != tree->end();) {
            if (IsCommitFile(it->first)) {
                if (it->first.find(" (read-only)") == std::string::npos) names.push_back(it->first);
                it = tree->erase(it);
            } else {
                ++it;
            }
        }
        return names;
    }
};

// Every file-system call of a whole update fails in turn. The result is
// success exactly when the new state is there, the uninstall-list code
// exactly when the old list stands beside the new files, and otherwise the
// installation is as before; nothing of the commit's own is left but a file
// whose deletion was the fault, and the next run removes that.
TEST_F(CommitTest, EveryFailingCallEndsOldOrNew) {
    const FileFaults counted = faults;
    uint32_t points = 0;
    for (int kind = kCallOpen; kind < kCallQuery; kind++) {
        for (uint32_t n = 1; n <= counted.calls[kind]; n++) {
            SCOPED_TRACE("call " + std::to_string(n) + " of kind " + std::to_string(kind));
            points++;
            NewInstallation();
            ResetFake();
            FileFaults f{};
            f.failAt[kind] = n;
            uint32_t result = Install(f);
            Tree after = State();
            std::vector<std::string> left = Leftovers(&after);
            if (result == UPDATE_OK) {
                EXPECT_EQ(Describe(newState), Describe(after));
            } else if (result == UPDATE_E_UNINSTALL_LIST) {
                EXPECT_EQ(Describe(listAloneState), Describe(after));
            } else {
                EXPECT_TRUE(result == UPDATE_E_FAILED || result == UPDATE_E_PACKAGE) << result;
                EXPECT_EQ(Describe(oldState), Describe(after));
            }
            if (left.empty()) continue;
            // Deleting a read-only set-aside file clears its attribute first.
            EXPECT_TRUE(kind == kCallDelete || kind == kCallAttributes) << left[0];
            EXPECT_EQ(1u, left.size()) << left[0];
            ResetFake();
            EXPECT_EQ(UPDATE_OK, Install());
            after = State();
            EXPECT_TRUE(Leftovers(&after).empty());
            EXPECT_EQ(Describe(newState), Describe(after));
        }
    }
    printf("[ fault points ] %u file-system calls failed in turn (open %u, create %u, read %u, "
           "write %u, seek %u, flush %u, attributes %u, move %u, delete %u)\n",
           points, counted.calls[kCallOpen], counted.calls[kCallCreate], counted.calls[kCallRead],
           counted.calls[kCallWrite], counted.calls[kCallSeek], counted.calls[kCallFlush],
           counted.calls[kCallAttributes], counted.calls[kCallMove], counted.calls[kCallDelete]);
    EXPECT_GT(points, 60u);
}

#ifndef _WIN32
// What has reached the disk, followed through the layer's events: a file's
// bytes at its last flush, a folder's entries at its last sync. A power cut
// puts the installation back to exactly that.
struct DiskModel {
    std::string folder;
    std::map<std::string, int> live, durable; // path -> file
    std::map<int, Bytes> data;                // file -> bytes at its last flush
    std::map<int, bool> readOnly;
    std::map<intptr_t, int> handles;
    int files = 0;

    static std::string Parent(const std::string& path) { return path.substr(0, path.rfind('\\')); }

    void Start(const std::string& installFolder, const Tree& tree) {
        *this = DiskModel();
        folder = installFolder;
        for (const auto& item : tree) {
            if (item.first.find(" (read-only)") != std::string::npos) continue;
            int id = ++files;
            live[folder + "\\" + item.first] = durable[folder + "\\" + item.first] = id;
            data[id] = item.second;
            readOnly[id] = tree.count(item.first + " (read-only)") != 0;
        }
    }

    static void Observe(void* context, FileEvent event, const char* path, const char* path2,
                        intptr_t handle) {
        DiskModel* m = (DiskModel*)context;
        switch (event) {
        case kEventCreated:
            m->live[path] = ++m->files;
            m->handles[handle] = m->files;
            break;
        case kEventFlushed:
            // The layer writes through a write-only descriptor: read it anew.
            if (m->handles.count(handle))
                ReadBytes("/proc/self/fd/" + std::to_string(handle), &m->data[m->handles[handle]]);
            break;
        case kEventMoved:
            if (m->live.count(path)) {
                m->live[path2] = m->live[path];
                m->live.erase(path);
            }
            break;
        case kEventDeleted:
            m->live.erase(path);
            break;
        case kEventSynced:
            for (auto it = m->durable.begin(); it != m->durable.end();)
                it = Parent(it->first) == path ? m->durable.erase(it) : std::next(it);
            for (const auto& item : m->live)
                if (Parent(item.first) == path) m->durable[item.first] = item.second;
            break;
        }
    }

    // Everything not on disk is lost.
    void PowerCut() {
        for (const std::string& sub : {std::string(), std::string("\\Archive")}) {
            for (const std::string& name : ListFolder(folder + sub)) {
                std::string path = folder + sub + "\\" + name;
                if (name == "Archive") continue;
                SetPathAttributes(path.c_str(), kAttrNormal);
                ASSERT_TRUE(DeletePath(path.c_str())) << path;
            }
        }
        for (const auto& item : durable) {
            ASSERT_TRUE(WriteBytes(item.first, data[item.second])) << item.first;
            if (readOnly[item.second]) SetPathAttributes(item.first.c_str(), kAttrReadOnly);
        }
    }
};

// The run dies after each call in turn and the power goes with it: writes
// not flushed and renames not synced are lost. The next run's recovery
// brings back the old state (or, after a complete commit, the new one), and
// the run then installs the update with nothing left over.
TEST_F(CommitTest, PowerCutAfterAnyCallIsRepairedByTheNextRun) {
    const uint32_t calls = faults.allCalls;
    DiskModel model;
    uint32_t backToOld = 0;
    for (uint32_t stop = 1; stop <= calls; stop++) {
        SCOPED_TRACE("stopped after call " + std::to_string(stop));
        NewInstallation();
        model.Start(Folder(), oldState);
        ResetFake();
        FileFaults f{};
        f.stopAfter = stop;
        f.observe = DiskModel::Observe;
        f.context = &model;
        Install(f);
        model.PowerCut();
        ResetFake();
        ASSERT_EQ(UPDATE_OK, RecoverCommit(Folder().c_str()));
        Tree recovered = State();
        for (const std::string& name : Leftovers(&recovered))
            EXPECT_NE(std::string::npos, name.find(".tmp")) << name; // the next run's to remove
        EXPECT_TRUE(recovered == oldState || recovered == newState);
        backToOld += recovered == oldState;

        ResetFake();
        EXPECT_EQ(UPDATE_OK, Install());
        EXPECT_EQ(Describe(newState), Describe(State()));
    }
    printf("[ stop points  ] %u (%u back to the old state, %u already new)\n", calls, backToOld,
           calls - backToOld);
    EXPECT_GT(calls, 60u);
}

// A link planted at any name the run creates or clears is removed itself:
// the files it points to keep their bytes and their read-only mode, and
// nothing is created where a dangling one points.
TEST_F(CommitTest, LinksAtItsOwnNamesAreNeverFollowed) {
    auto host = [](std::string path) {
        for (char& c : path)
            if (c == '\\') c = '/';
        return path;
    };
    const std::string victim = work.Join("victim.dat");
    const std::string nowhere = work.Join("nowhere.dat");
    const char* const planted[] = {"system.arc.tmp", "Archive\\data01000.arc.tmp",
                                   "KRN.hvl.tmp",    "uninst.lst.tmp",
                                   "system.arc.old", "KRN.hvl.old",
                                   "KRNUpdate.jnl"};
    for (const char* name : planted) {
        SCOPED_TRACE(name);
        NewInstallation();
        ASSERT_TRUE(WriteText(victim, "victim"));
        ASSERT_EQ(0, chmod(host(victim).c_str(), 0444));
        ASSERT_EQ(0, symlink(host(victim).c_str(), host(install->Join(name)).c_str()));
        ASSERT_EQ(0, symlink(host(nowhere).c_str(), host(install->Join("readme.txt.tmp")).c_str()));
        ResetFake();
        EXPECT_EQ(UPDATE_OK, Install());
        EXPECT_EQ(Describe(newState), Describe(State()));
        struct stat st;
        ASSERT_EQ(0, stat(host(victim).c_str(), &st));
        EXPECT_EQ(0444u, st.st_mode & 0777u);
        EXPECT_EQ("victim", ReadText(victim));
        EXPECT_FALSE(PathExists(nowhere));
        chmod(host(victim).c_str(), 0644);
    }
}
#endif

// A file another program holds is waited for while the dialog is pumped:
// a brief hold is outlasted, a long one fails with nothing replaced, and a
// cancel or close while waiting ends the run as the user asked.
TEST_F(CommitTest, HeldFilesAreWaitedFor) {
    struct Row {
        const char* what;
        const char* path; // before the commit a target, during it a new file
        uint32_t holds;
        PumpAction action; // at the first pump while waiting
        uint32_t result;
    };
    const Row rows[] = {
        {"target held briefly", "system.arc", 10, kPumpNothing, UPDATE_OK},
        {"target held too long", "system.arc", 51, kPumpNothing, UPDATE_E_FAILED},
        {"cancelled while waiting", "system.arc", 51, kPumpCancel, UPDATE_E_CANCELLED},
        {"closed while waiting", "system.arc", 51, kPumpClose, UPDATE_E_CLOSED},
        {"new file held briefly", "data01000.arc.tmp", 10, kPumpNothing, UPDATE_OK},
        {"new file held too long", "data01000.arc.tmp", 51, kPumpNothing, UPDATE_E_FAILED},
        {"cancelled during the commit", "data01000.arc.tmp", 51, kPumpCancel, UPDATE_E_CANCELLED},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        NewInstallation();
        ResetFake();
        gFake.actAt = 12; // the first pump after the eleven of the extraction
        gFake.action = row.action;
        FileFaults f{};
        f.lockPath = row.path;
        f.lockCount = row.holds;
        EXPECT_EQ(row.result, Install(f));
        EXPECT_EQ(row.action == kPumpNothing ? std::min(row.holds, 50u) : 1u, faults.waits);
        Tree after = State();
        EXPECT_TRUE(Leftovers(&after).empty());
        EXPECT_EQ(Describe(row.result == UPDATE_OK ? newState : oldState), Describe(after));
    }
}

} // namespace
