// RemovePath against an in-memory file system that logs every operation: the
// flag combinations setup uses, read-only entries, and reparse points, which
// must be removed as links without anything behind them being touched.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "remove_path.h"
#include "wide_text.h"

typedef std::basic_string<WideChar> Wide;

namespace {

struct FakeNode {
    uint32_t attributes;
};

// The fake file system: paths are whole keys; a folder's children are the keys
// one level below it. A link's children stand for its target's contents.
struct FakeFileSystem {
    std::map<Wide, FakeNode> nodes;
    std::vector<Wide> log;        // "enum X", "delete X", "rmdir X", "restart X", "attr X"
    std::vector<Wide> unlistable; // folders whose enumeration does not open
    std::vector<Wide> busy;       // entries that refuse deletion, as a running image does
    int openEnumerations = 0;
};

// One enumeration: the names it yields, taken whole when it opens.
struct FakeEnumeration {
    std::vector<Wide> names;
    size_t next;
};

FakeFileSystem* gFs;

bool IsChild(const Wide& parent, const Wide& path) {
    return path.size() > parent.size() + 1 && path.compare(0, parent.size(), parent) == 0 &&
           path[parent.size()] == '\\' && path.find('\\', parent.size() + 1) == Wide::npos;
}

bool HasChildren(const Wide& path) {
    for (const auto& n : gFs->nodes)
        if (IsChild(path, n.first)) return true;
    return false;
}

uint32_t FakeGetAttributes(const WideChar* path) {
    auto it = gFs->nodes.find(path);
    return it == gFs->nodes.end() ? kNoAttributes : it->second.attributes;
}

bool FakeSetAttributes(const WideChar* path, uint32_t attributes) {
    auto it = gFs->nodes.find(path);
    if (it == gFs->nodes.end()) return false;
    gFs->log.push_back(WIDE("attr ") + Wide(path));
    it->second.attributes = attributes;
    return true;
}

void Fill(FolderEntry* entry, const Wide& name) {
    JoinWide(entry->name, name.c_str());
    entry->attributes = 0;
}

void* FakeFindFirst(const WideChar* pattern, FolderEntry* entry) {
    Wide folder(pattern);
    if (folder.size() < 2 || folder.compare(folder.size() - 2, 2, WIDE("\\*")) != 0) return nullptr;
    folder.resize(folder.size() - 2);
    auto it = gFs->nodes.find(folder);
    if (it == gFs->nodes.end() || !(it->second.attributes & kAttrDirectory)) return nullptr;
    for (const Wide& u : gFs->unlistable)
        if (u == folder) return nullptr;
    gFs->log.push_back(WIDE("enum ") + folder);
    FakeEnumeration* e = new FakeEnumeration{{WIDE("."), WIDE("..")}, 1};
    for (const auto& n : gFs->nodes)
        if (IsChild(folder, n.first)) e->names.push_back(n.first.substr(folder.size() + 1));
    Fill(entry, e->names[0]);
    gFs->openEnumerations++;
    return e;
}

bool FakeFindNext(void* find, FolderEntry* entry) {
    FakeEnumeration* e = static_cast<FakeEnumeration*>(find);
    if (e->next >= e->names.size()) return false;
    Fill(entry, e->names[e->next++]);
    return true;
}

void FakeFindClose(void* find) {
    delete static_cast<FakeEnumeration*>(find);
    gFs->openEnumerations--;
}

bool FakeDeleteFile(const WideChar* path) {
    auto it = gFs->nodes.find(path);
    if (it == gFs->nodes.end() || (it->second.attributes & kAttrDirectory)) return false;
    if (it->second.attributes & kAttrReadOnly) return false; // as Windows refuses
    for (const Wide& b : gFs->busy)
        if (b == path) return false;
    gFs->log.push_back(WIDE("delete ") + Wide(path));
    gFs->nodes.erase(it);
    return true;
}

bool FakeRemoveFolder(const WideChar* path) {
    auto it = gFs->nodes.find(path);
    if (it == gFs->nodes.end() || !(it->second.attributes & kAttrDirectory)) return false;
    if (it->second.attributes & kAttrReadOnly) return false;
    // A link goes as a link: its target's contents stay where they are.
    if (!(it->second.attributes & kAttrReparsePoint) && HasChildren(path)) return false;
    gFs->log.push_back(WIDE("rmdir ") + Wide(path));
    gFs->nodes.erase(it);
    return true;
}

bool FakeRemoveAtRestart(const WideChar* path) {
    gFs->log.push_back(WIDE("restart ") + Wide(path));
    return true;
}

const RemoveOps kFakeOps = {FakeGetAttributes, FakeSetAttributes,  FakeFindFirst,
                            FakeFindNext,      FakeFindClose,      FakeDeleteFile,
                            FakeRemoveFolder,  FakeRemoveAtRestart};

const uint32_t kFile = 0x20; // FILE_ATTRIBUTE_ARCHIVE
const uint32_t kFolder = kAttrDirectory;
const uint32_t kFolderLink = kAttrDirectory | kAttrReparsePoint;
const uint32_t kFileLink = kFile | kAttrReparsePoint;

class RemovePathTest : public ::testing::Test {
  protected:
    void SetUp() override { gFs = &fs; }
    void TearDown() override {
        EXPECT_EQ(fs.openEnumerations, 0);
        gFs = nullptr;
    }
    void Add(const WideChar* path, uint32_t attributes) { fs.nodes[path] = FakeNode{attributes}; }
    bool Exists(const WideChar* path) const { return fs.nodes.count(path) != 0; }
    bool Logged(const Wide& entry) const {
        for (const Wide& e : fs.log)
            if (e == entry) return true;
        return false;
    }
    bool LoggedUnder(const Wide& verb, const Wide& folder) const {
        Wide prefix = verb + WIDE(" ") + folder + WIDE("\\");
        for (const Wide& e : fs.log)
            if (e.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    FakeFileSystem fs;
};

} // namespace

TEST_F(RemovePathTest, RemoveNowTakesWholeTreesAndReadOnlyEntries) {
    Add(WIDE("T\\KRN_000000.exe"), kFolder);
    Add(WIDE("T\\KRN_000000.exe\\a.txt"), kFile);
    Add(WIDE("T\\KRN_000000.exe\\ro.txt"), kFile | kAttrReadOnly);
    Add(WIDE("T\\KRN_000000.exe\\sub"), kFolder | kAttrReadOnly);
    Add(WIDE("T\\KRN_000000.exe\\sub\\deep.bin"), kFile | kAttrReadOnly);
    Add(WIDE("T\\other.txt"), kFile);

    EXPECT_TRUE(RemovePath(kFakeOps, WIDE("T\\KRN_000000.exe"), kRemoveNow));
    EXPECT_EQ(fs.nodes.size(), 1u);
    EXPECT_TRUE(Exists(WIDE("T\\other.txt")));
    // Contents go before their folder.
    ASSERT_FALSE(fs.log.empty());
    EXPECT_EQ(fs.log.back(), WIDE("rmdir T\\KRN_000000.exe"));

    Add(WIDE("T\\KRN_000001.exe"), kFile | kAttrReadOnly);
    EXPECT_TRUE(RemovePath(kFakeOps, WIDE("T\\KRN_000001.exe"), kRemoveNow));
    EXPECT_FALSE(Exists(WIDE("T\\KRN_000001.exe")));
}

TEST_F(RemovePathTest, FlagsDecideWhatMayGo) {
    Add(WIDE("T\\f"), kFile);
    Add(WIDE("T\\ro"), kFile | kAttrReadOnly);
    Add(WIDE("T\\d"), kFolder);
    Add(WIDE("T\\full"), kFolder);
    Add(WIDE("T\\full\\x"), kFile);

    struct {
        const WideChar* path;
        uint32_t flags;
        bool result;
        bool remains;
    } cases[] = {
        {WIDE("T\\missing"), kRemoveNow, false, false},
        {WIDE("T\\f"), REMOVE_FOLDERS, false, true},
        {WIDE("T\\d"), REMOVE_FILES, false, true},
        {WIDE("T\\ro"), REMOVE_FILES, false, true},     // read-only kept without the flag
        {WIDE("T\\full"), REMOVE_FOLDERS, false, true}, // not emptied without the flag
        {WIDE("T\\d"), kRemoveFileAtRestart, false, true},
        {WIDE("T\\f"), kRemoveFileAtRestart, true, true}, // only registered
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << c.flags);
        EXPECT_EQ(RemovePath(kFakeOps, c.path, c.flags), c.result);
        EXPECT_EQ(Exists(c.path), c.remains);
    }
    EXPECT_TRUE(Logged(WIDE("restart T\\f")));
    EXPECT_EQ(fs.log.size(), 1u); // nothing else was changed
}

TEST_F(RemovePathTest, ContentsAtRestartAreRegisteredOneByOne) {
    Add(WIDE("T\\d"), kFolder);
    Add(WIDE("T\\d\\x"), kFile);
    uint32_t flags = REMOVE_FILES | REMOVE_FOLDERS | REMOVE_CONTENTS | REMOVE_AT_RESTART;
    EXPECT_TRUE(RemovePath(kFakeOps, WIDE("T\\d"), flags));
    std::vector<Wide> expected = {WIDE("enum T\\d"), WIDE("restart T\\d\\x"), WIDE("restart T\\d")};
    EXPECT_EQ(fs.log, expected);
    EXPECT_TRUE(Exists(WIDE("T\\d\\x")));
}

TEST_F(RemovePathTest, UnlistableFolderIsStillTried) {
    Add(WIDE("T\\d"), kFolder);
    Add(WIDE("T\\d\\x"), kFile);
    fs.unlistable.push_back(WIDE("T\\d"));
    EXPECT_FALSE(RemovePath(kFakeOps, WIDE("T\\d"), kRemoveNow));
    fs.nodes.erase(WIDE("T\\d\\x"));
    EXPECT_TRUE(RemovePath(kFakeOps, WIDE("T\\d"), kRemoveNow));
}

TEST_F(RemovePathTest, ReparsePointsAreRemovedAsLinksOnly) {
    // A junction planted at the copy's name, pointing at someone's folder.
    Add(WIDE("T\\KRN_000000.exe"), kFolderLink | kAttrReadOnly);
    Add(WIDE("T\\KRN_000000.exe\\precious.doc"), kFile);
    Add(WIDE("T\\KRN_000000.exe\\inner"), kFolder);
    Add(WIDE("T\\KRN_000000.exe\\inner\\more.doc"), kFile);
    EXPECT_TRUE(RemovePath(kFakeOps, WIDE("T\\KRN_000000.exe"), kRemoveNow));
    EXPECT_FALSE(Exists(WIDE("T\\KRN_000000.exe")));
    EXPECT_TRUE(Exists(WIDE("T\\KRN_000000.exe\\precious.doc")));
    EXPECT_TRUE(Exists(WIDE("T\\KRN_000000.exe\\inner\\more.doc")));
    EXPECT_FALSE(Logged(WIDE("enum T\\KRN_000000.exe")));
    EXPECT_FALSE(LoggedUnder(WIDE("delete"), WIDE("T\\KRN_000000.exe")));
    EXPECT_FALSE(LoggedUnder(WIDE("attr"), WIDE("T\\KRN_000000.exe")));

    // A file link goes as itself.
    Add(WIDE("T\\KRN_000001.exe"), kFileLink);
    EXPECT_TRUE(RemovePath(kFakeOps, WIDE("T\\KRN_000001.exe"), kRemoveNow));
    EXPECT_TRUE(Logged(WIDE("delete T\\KRN_000001.exe")));

    // A link at restart is registered without looking behind it.
    fs.log.clear();
    Add(WIDE("T\\KRN_000002.exe"), kFolderLink);
    Add(WIDE("T\\KRN_000002.exe\\x"), kFile);
    uint32_t flags = REMOVE_FOLDERS | REMOVE_CONTENTS | REMOVE_AT_RESTART;
    EXPECT_TRUE(RemovePath(kFakeOps, WIDE("T\\KRN_000002.exe"), flags));
    std::vector<Wide> expected = {WIDE("restart T\\KRN_000002.exe")};
    EXPECT_EQ(fs.log, expected);
}

TEST_F(RemovePathTest, LinkInsideATreeStopsTheDescent) {
    Add(WIDE("T\\KRN_000000.exe"), kFolder);
    Add(WIDE("T\\KRN_000000.exe\\own.txt"), kFile);
    Add(WIDE("T\\KRN_000000.exe\\link"), kFolderLink);
    Add(WIDE("T\\KRN_000000.exe\\link\\target.txt"), kFile);
    Add(WIDE("T\\KRN_000000.exe\\filelink"), kFileLink);
    EXPECT_TRUE(RemovePath(kFakeOps, WIDE("T\\KRN_000000.exe"), kRemoveNow));
    EXPECT_FALSE(Exists(WIDE("T\\KRN_000000.exe")));
    EXPECT_FALSE(Exists(WIDE("T\\KRN_000000.exe\\own.txt")));
    EXPECT_TRUE(Logged(WIDE("rmdir T\\KRN_000000.exe\\link")));
    EXPECT_TRUE(Logged(WIDE("delete T\\KRN_000000.exe\\filelink")));
    EXPECT_TRUE(Exists(WIDE("T\\KRN_000000.exe\\link\\target.txt")));
    EXPECT_FALSE(Logged(WIDE("enum T\\KRN_000000.exe\\link")));
}

// The end of a run in its private folder, R under T. release() logs itself and
// may change what stands at R, as a process of the user can once R is let go.
namespace {

struct RunEndCase {
    const char* label;
    bool copyMade;
    bool copyBusy; // still held by the installer's image
    int tries;
    void (*onRelease)(FakeFileSystem* fs);
    std::vector<Wide> log;
    bool folderGone;
};

int gPauses;
void (*gOnRelease)(FakeFileSystem* fs);

void CountPause() {
    gPauses++;
}

void LogRelease(void* fs) {
    FakeFileSystem* f = static_cast<FakeFileSystem*>(fs);
    f->log.push_back(WIDE("release"));
    if (gOnRelease) gOnRelease(f);
}

void SwapForJunction(FakeFileSystem* fs) {
    fs->nodes.erase(WIDE("T\\R"));
    fs->nodes[WIDE("T\\R")] = FakeNode{kFolderLink};
    fs->nodes[WIDE("T\\R\\precious.doc")] = FakeNode{kFile};
}

void SwapForFullFolder(FakeFileSystem* fs) {
    fs->nodes.erase(WIDE("T\\R"));
    fs->nodes[WIDE("T\\R")] = FakeNode{kFolder};
    fs->nodes[WIDE("T\\R\\planted.dll")] = FakeNode{kFile | kAttrReadOnly};
}

} // namespace

TEST_F(RemovePathTest, RunFolderGoesAfterItsCopyAndIsNeverEmptiedOnceLetGo) {
    const Wide copy = WIDE("T\\R\\KRN_000000.exe");
    const Wide folder = WIDE("T\\R");
    const RunEndCase cases[] = {
        {"ran",
         true,
         false,
         100,
         nullptr,
         {WIDE("delete T\\R\\KRN_000000.exe"), WIDE("release"), WIDE("rmdir T\\R")},
         true},
        {"no copy", false, false, 0, nullptr, {WIDE("release"), WIDE("rmdir T\\R")}, true},
        {"copy held to the end",
         true,
         true,
         100,
         nullptr,
         {WIDE("restart T\\R\\KRN_000000.exe"), WIDE("release")},
         false},
        {"never ran",
         true,
         false,
         0,
         nullptr,
         {WIDE("restart T\\R\\KRN_000000.exe"), WIDE("release")},
         false},
        {"swapped for a junction",
         true,
         false,
         100,
         SwapForJunction,
         {WIDE("delete T\\R\\KRN_000000.exe"), WIDE("release"), WIDE("rmdir T\\R")},
         true},
        {"swapped for a full folder", false, false, 0, SwapForFullFolder, {WIDE("release")}, false},
    };
    for (const RunEndCase& c : cases) {
        SCOPED_TRACE(c.label);
        fs.nodes.clear();
        fs.log.clear();
        fs.busy.clear();
        Add(folder.c_str(), kFolder);
        if (c.copyMade) Add(copy.c_str(), kFile);
        if (c.copyBusy) fs.busy.push_back(copy);
        gPauses = 0;
        gOnRelease = c.onRelease;
        RunFolderEnd end = {folder.c_str(), c.copyMade ? copy.c_str() : nullptr,
                            c.tries,        CountPause,
                            LogRelease,     &fs};
        EXPECT_EQ(RemoveRunFolder(kFakeOps, end), c.folderGone);
        // The folder is held until every step on the copy is done.
        EXPECT_EQ(fs.log, c.log);
        EXPECT_EQ(gPauses, c.copyBusy ? c.tries - 1 : 0);
        // What a process of the user put at the name after the release stays.
        EXPECT_EQ(Exists(WIDE("T\\R\\precious.doc")), c.onRelease == SwapForJunction);
        EXPECT_EQ(Exists(WIDE("T\\R\\planted.dll")), c.onRelease == SwapForFullFolder);
    }
    gOnRelease = nullptr;
}
