// Version lists: reading, matching, set and append, and rewriting and pruning
// the installed list so that a failure never leaves it damaged.
#include "digest.h"
#include "file_faults.h"
#include "package.h"
#include "package_writer.h"
#include "test_support.h"
#include "file_system.h"
#include "version_list.h"
#include <gtest/gtest.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#endif

namespace {

struct Record {
    std::string path;
    unsigned char digest[kDigestSize];
};

Record MakeRecord(const std::string& path, unsigned char seed) {
    Record r;
    r.path = path;
    for (size_t i = 0; i < kDigestSize; i++)
        r.digest[i] = (unsigned char)(seed + i * 17);
    return r;
}

void PutLe32(Bytes* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        (*b)[at + i] = (unsigned char)(v >> (8 * i));
}

// The bytes of an installed list; count is the record count unless given.
Bytes ListBytes(const char* magic, uint32_t reserved, const std::vector<Record>& records,
                int64_t count = -1) {
    Bytes b(16 + records.size() * 256, 0);
    memcpy(b.data(), magic, 8);
    PutLe32(&b, 8, reserved);
    PutLe32(&b, 12, count < 0 ? (uint32_t)records.size() : (uint32_t)count);
    for (size_t i = 0; i < records.size(); i++) {
        memcpy(b.data() + 16 + i * 256, records[i].path.data(), records[i].path.size());
        memcpy(b.data() + 16 + i * 256 + 248, records[i].digest, kDigestSize);
    }
    return b;
}

void ExpectRecords(const InstalledList& list, const std::vector<Record>& expected) {
    ASSERT_EQ(expected.size(), list.count);
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(expected[i].path, list.records[i].path);
        EXPECT_EQ(0, memcmp(expected[i].digest, list.records[i].digest, kDigestSize)) << i;
    }
}

struct FaultScope {
    FileFaults faults{};
    FaultScope() { gFileFaults = &faults; }
    ~FaultScope() { gFileFaults = nullptr; }
};

TEST(VersionNames, FileNamePartAndMatching) {
    struct PartCase {
        std::string path, part;
    } parts[] = {
        {"Archive\\data01000.arc", "data01000.arc"},
        {"system.arc", "system.arc"},
        {"a/b\\c.txt", "c.txt"},
        {"C:x.dat", "x.dat"},
        {"c:\\dir\\x.dat", "x.dat"},
        {"1:x.dat", "1:x.dat"},
        {"dir\\", ""},
        {"", ""},
        // Trail bytes 0x5C and 0x40-0x7E are parts of their characters.
        {Sjis("ソフト.arc"), Sjis("ソフト.arc")},
        {Sjis("表\\ソ"), Sjis("ソ")},
        {Sjis("データ表\\表示.arc"), Sjis("表示.arc")},
        {Sjis("C:表"), Sjis("表")},
    };
    for (const PartCase& c : parts) {
        char part[kMaxPath];
        GetFileNamePart(c.path.c_str(), part);
        EXPECT_EQ(c.part, part) << c.path;
    }

    struct MatchCase {
        std::string a, b;
        bool match;
    } matches[] = {
        {"Archive\\data01000.arc", "archive\\DATA01000.ARC", true},
        {"KRN.hvl", "krn.hvl", true},
        {"abc", "abd", false},
        {"", "", true},
        {Sjis("ア"), Sjis("ヂ"), false}, // 83 41 and 83 61: the trail 'A' stays
        {Sjis("セ"), Sjis("ホ"), false}, // 83 5A and 83 7A
        {Sjis("ソ\\a"), Sjis("ソ\\A"), true},
        {Sjis("Ａ.arc"), Sjis("ａ.ARC"), true}, // full-width capitals lowered whole
        {Sjis("ΑΒΓ"), Sjis("αβγ"), true},
        {std::string(300, 'x'), std::string(300, 'x'), false}, // no path is that long
    };
    for (const MatchCase& c : matches)
        EXPECT_EQ(c.match, NamesMatch(c.a.c_str(), c.b.c_str())) << c.a << " " << c.b;
}

TEST(InstalledList, ReadsV2AndRefusesDamagedLists) {
    const unsigned char kHeader15[] = "BHV_V2__\0\0\0\0\0\0";
    std::vector<Record> two = {MakeRecord("archive\\DATA01000.arc", 1),
                               MakeRecord("system.arc", 2)};
    struct Case {
        const char* what;
        Bytes bytes;
        uint32_t result;
    } cases[] = {
        {"two records", ListBytes("BHV_V2__", 7, two), UPDATE_OK},
        {"no records", ListBytes("BHV_V2__", 0, {}), UPDATE_OK},
        {"V1 in the install folder", ListBytes("BHV_____", 0, two), UPDATE_E_FAILED},
        {"other magic", ListBytes("BHV_V3__", 0, two), UPDATE_E_FAILED},
        {"empty file", Bytes(), UPDATE_E_FAILED},
        {"short header", Bytes(kHeader15, kHeader15 + 15), UPDATE_E_FAILED},
        {"count above the records", ListBytes("BHV_V2__", 0, two, 3), UPDATE_E_FAILED},
        {"count past any memory", ListBytes("BHV_V2__", 0, two, 0xFFFFFFFF), UPDATE_E_FAILED},
        {"count that wraps 32 bits", ListBytes("BHV_V2__", 0, two, 0x01000001), UPDATE_E_FAILED},
    };
    for (const Case& c : cases) {
        ScratchFolder dir;
        ASSERT_TRUE(WriteBytes(dir.Join("KRN.hvl"), c.bytes));
        InstalledList list{};
        EXPECT_EQ(c.result, ReadInstalledList(&list, dir.path.c_str())) << c.what;
        if (c.result == UPDATE_OK && c.bytes.size() > 16) {
            ExpectRecords(list, two);
            EXPECT_EQ(0, memcmp(list.header, c.bytes.data(), 16));
        }
        FreeInstalledList(&list);
        EXPECT_EQ(nullptr, list.records);
    }
    ScratchFolder none;
    InstalledList list{};
    EXPECT_EQ(UPDATE_E_FAILED, ReadInstalledList(&list, none.path.c_str()));
    // A folder whose list path does not fit the path buffer.
    std::string deep = none.path + "\\" + std::string(250, 'd');
    EXPECT_EQ(UPDATE_E_FAILED, ReadInstalledList(&list, deep.c_str()));
}

TEST(InstalledList, SetAppendAndRewrite) {
    ScratchFolder dir;
    std::vector<Record> records = {MakeRecord("archive\\DATA01000.arc", 1),
                                   MakeRecord("system.arc", 2)};
    ASSERT_TRUE(WriteBytes(dir.Join("KRN.hvl"), ListBytes("BHV_V2__", 0xA1B2C3D4, records)));
    InstalledList list{};
    ASSERT_EQ(UPDATE_OK, ReadInstalledList(&list, dir.path.c_str()));

    // The matched record keeps its own spelling; only the digest changes.
    int index = FindByPath(list, "Archive\\data01000.arc");
    ASSERT_EQ(0, index);
    Record updated = MakeRecord("archive\\DATA01000.arc", 90);
    SetDigest(&list, index, updated.digest);
    records[0] = updated;
    EXPECT_EQ(1, FindByPath(list, "SYSTEM.ARC"));
    EXPECT_EQ(-1, FindByPath(list, "Archive\\system.arc"));

    // Appends beyond the first growth step.
    for (int i = 0; i < 40; i++) {
        Record r = MakeRecord("Archive\\new" + std::to_string(i) + ".arc", (unsigned char)i);
        ASSERT_EQ(-1, FindByPath(list, r.path.c_str()));
        ASSERT_TRUE(AppendRecord(&list, r.path.c_str(), r.digest));
        records.push_back(r);
    }
    unsigned char d[kDigestSize] = {};
    EXPECT_FALSE(AppendRecord(&list, std::string(248, 'p').c_str(), d)); // no room for its NUL
    ExpectRecords(list, records);

    ASSERT_EQ(UPDATE_OK, WriteInstalledList(list, dir.path.c_str()));
    Bytes written;
    ASSERT_TRUE(ReadBytes(dir.Join("KRN.hvl"), &written));
    EXPECT_EQ(ListBytes("BHV_V2__", 0xA1B2C3D4, records),
              written); // reserved kept, paths zero-filled
    EXPECT_EQ(std::vector<std::string>{"KRN.hvl"}, ListFolder(dir.path));
    FreeInstalledList(&list);

    // A list never read from disk is written with a fresh V2 header, also over
    // a read-only temporary file a killed run may have left.
    InstalledList fresh{};
    Record one = MakeRecord("a.bin", 3);
    ASSERT_TRUE(AppendRecord(&fresh, one.path.c_str(), one.digest));
    ASSERT_TRUE(WriteText(dir.Join("KRN.hvl.tmp"), "stale"));
    ASSERT_TRUE(SetPathAttributes(dir.Join("KRN.hvl.tmp").c_str(), kAttrReadOnly));
    ASSERT_EQ(UPDATE_OK, WriteInstalledList(fresh, dir.path.c_str()));
    EXPECT_EQ(std::vector<std::string>{"KRN.hvl"}, ListFolder(dir.path));
    ASSERT_TRUE(ReadBytes(dir.Join("KRN.hvl"), &written));
    EXPECT_EQ(ListBytes("BHV_V2__", 0, {one}), written);
    FreeInstalledList(&fresh);

    // A path that fills its whole field is matched whole and written back as read.
    Bytes full = ListBytes("BHV_V2__", 0, {MakeRecord(std::string(248, 'p'), 4)});
    ASSERT_TRUE(WriteBytes(dir.Join("KRN.hvl"), full));
    ASSERT_EQ(UPDATE_OK, ReadInstalledList(&list, dir.path.c_str()));
    EXPECT_EQ(0, FindByPath(list, std::string(248, 'P').c_str()));
    EXPECT_EQ(-1, FindByPath(list, std::string(247, 'p').c_str()));
    ASSERT_EQ(UPDATE_OK, WriteInstalledList(list, dir.path.c_str()));
    ASSERT_TRUE(ReadBytes(dir.Join("KRN.hvl"), &written));
    EXPECT_EQ(full, written);
    FreeInstalledList(&list);
}

TEST(InstalledList, FailedRewriteLeavesTheOldListWhole) {
    std::vector<Record> records = {MakeRecord("system.arc", 2), MakeRecord("Archive\\a.arc", 3)};
    Bytes old = ListBytes("BHV_V2__", 5, records);
    struct Case {
        const char* what;
        const char* failCreate;
        const char* failMove;
        uint32_t shortWriteAt;
        uint32_t failFlushAt;
    } cases[] = {
        {"create fails", "KRN.hvl", nullptr, 0, 0},
        {"header write short", nullptr, nullptr, 1, 0},
        {"records write short", nullptr, nullptr, 2, 0},
        {"flush fails", nullptr, nullptr, 0, 1},
        {"replace fails", nullptr, "KRN.hvl", 0, 0},
    };
    for (const Case& c : cases) {
        ScratchFolder dir;
        ASSERT_TRUE(WriteBytes(dir.Join("KRN.hvl"), old));
        InstalledList list{};
        ASSERT_EQ(UPDATE_OK, ReadInstalledList(&list, dir.path.c_str()));
        unsigned char d[kDigestSize] = {9};
        ASSERT_TRUE(AppendRecord(&list, "more.arc", d));
        {
            FaultScope scope;
            scope.faults.failCreate = c.failCreate;
            scope.faults.failMove = c.failMove;
            scope.faults.shortWriteAt = c.shortWriteAt;
            scope.faults.failFlushAt = c.failFlushAt;
            EXPECT_EQ(UPDATE_E_FAILED, WriteInstalledList(list, dir.path.c_str())) << c.what;
        }
        Bytes now;
        ASSERT_TRUE(ReadBytes(dir.Join("KRN.hvl"), &now));
        EXPECT_EQ(old, now) << c.what;
        EXPECT_EQ(std::vector<std::string>{"KRN.hvl"}, ListFolder(dir.path)) << c.what;
        FreeInstalledList(&list);
    }
    // "KRN.hvl" fits the path buffer behind this folder, "KRN.hvl.tmp" does not.
    ScratchFolder dir;
    std::string deep = dir.path + "\\" + std::string(250 - dir.path.size() - 1, 'd');
    InstalledList list{};
    unsigned char d[kDigestSize] = {};
    ASSERT_TRUE(AppendRecord(&list, "a.arc", d));
    EXPECT_EQ(UPDATE_E_FAILED, WriteInstalledList(list, deep.c_str()));
    FreeInstalledList(&list);
    EXPECT_TRUE(ListFolder(dir.path).empty());
}

#ifdef _WIN32
// Another program holding the list open keeps it from being replaced; the
// rewrite reports the failure and the held list stays as it was.
TEST(InstalledListWin32, ListHeldOpenElsewhereIsNotReplaced) {
    ScratchFolder dir;
    Bytes old = ListBytes("BHV_V2__", 0, {MakeRecord("a.arc", 1)});
    ASSERT_TRUE(WriteBytes(dir.Join("KRN.hvl"), old));
    InstalledList list{};
    ASSERT_EQ(UPDATE_OK, ReadInstalledList(&list, dir.path.c_str()));
    unsigned char d[kDigestSize] = {};
    ASSERT_TRUE(AppendRecord(&list, "b.arc", d));
    FileObject holder;
    ASSERT_TRUE(holder.OpenRead(dir.Join("KRN.hvl").c_str()));
    EXPECT_EQ(UPDATE_E_FAILED, WriteInstalledList(list, dir.path.c_str()));
    holder.Close();
    Bytes now;
    ASSERT_TRUE(ReadBytes(dir.Join("KRN.hvl"), &now));
    EXPECT_EQ(old, now);
    EXPECT_EQ(std::vector<std::string>{"KRN.hvl"}, ListFolder(dir.path));
    FreeInstalledList(&list);
}
#endif

TEST(InstalledList, PruneDropsRecordsOfMissingFiles) {
    ScratchFolder dir;
    ASSERT_TRUE(MakeFolder(dir.Join("Archive")));
    ASSERT_TRUE(MakeFolder(dir.Join("Movie")));
    ASSERT_TRUE(MakeFolder(dir.Join(Sjis("ソフト"))));
    ASSERT_TRUE(WriteText(dir.Join("system.arc"), "s"));
    ASSERT_TRUE(WriteText(dir.Join("Archive\\data01000.arc"), "d"));
    ASSERT_TRUE(WriteText(dir.Join(Sjis("ソフト\\表.arc")), "t"));
    std::vector<Record> all = {
        MakeRecord("system.arc", 1),
        MakeRecord("gone.arc", 2),
        MakeRecord("Archive\\data01000.arc", 3),
        MakeRecord("Archive\\gone.arc", 4),
        MakeRecord("Movie", 5), // a folder counts as present
        MakeRecord(Sjis("ソフト\\表.arc"), 6),
        MakeRecord(Sjis("ソフト\\ソ.arc"), 7),
    };
    std::vector<Record> kept = {all[0], all[2], all[4], all[5]};
    ASSERT_TRUE(WriteBytes(dir.Join("KRN.hvl"), ListBytes("BHV_V2__", 0x12345678, all)));

    // A prune that cannot write leaves the complete list.
    {
        FaultScope scope;
        scope.faults.failMove = "KRN.hvl";
        PruneInstalledList(dir.path.c_str());
    }
    Bytes now;
    ASSERT_TRUE(ReadBytes(dir.Join("KRN.hvl"), &now));
    EXPECT_EQ(ListBytes("BHV_V2__", 0x12345678, all), now);

    PruneInstalledList(dir.path.c_str());
    ASSERT_TRUE(ReadBytes(dir.Join("KRN.hvl"), &now));
    EXPECT_EQ(ListBytes("BHV_V2__", 0x12345678, kept), now);
    // Nothing left to drop: the list stays as it is.
    PruneInstalledList(dir.path.c_str());
    ASSERT_TRUE(ReadBytes(dir.Join("KRN.hvl"), &now));
    EXPECT_EQ(ListBytes("BHV_V2__", 0x12345678, kept), now);
    for (const std::string& name : ListFolder(dir.path))
        EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;

    // Lists it cannot take are left alone: a record whose full path does not
    // fit the path buffer stops the prune,
    std::vector<Record> tooLong = {MakeRecord("gone.arc", 1), MakeRecord(std::string(247, 'p'), 2)};
    ASSERT_TRUE(WriteBytes(dir.Join("KRN.hvl"), ListBytes("BHV_V2__", 0, tooLong)));
    PruneInstalledList(dir.path.c_str());
    ASSERT_TRUE(ReadBytes(dir.Join("KRN.hvl"), &now));
    EXPECT_EQ(ListBytes("BHV_V2__", 0, tooLong), now);
    // and so do other magics and counts above the records.
    Bytes v1 = ListBytes("BHV_____", 0, all);
    ASSERT_TRUE(WriteBytes(dir.Join("KRN.hvl"), v1));
    PruneInstalledList(dir.path.c_str());
    ASSERT_TRUE(ReadBytes(dir.Join("KRN.hvl"), &now));
    EXPECT_EQ(v1, now);
    Bytes overCount = ListBytes("BHV_V2__", 0, all, 8);
    ASSERT_TRUE(WriteBytes(dir.Join("KRN.hvl"), overCount));
    PruneInstalledList(dir.path.c_str());
    ASSERT_TRUE(ReadBytes(dir.Join("KRN.hvl"), &now));
    EXPECT_EQ(overCount, now);
    ScratchFolder empty;
    PruneInstalledList(empty.path.c_str());
    EXPECT_TRUE(ListFolder(empty.path).empty());
}

// Writes a package with the given list options and reads its version list.
void ReadListOf(const WriterOptions& options, const std::vector<WriterEntry>& entries,
                PackageList* list) {
    ScratchFolder dir;
    std::string path = dir.Join("update.exe"), error;
    ASSERT_TRUE(WritePackageFile(path, PatternBytes(100, 1), options, entries, &error)) << error;
    Package p{};
    ASSERT_EQ(UPDATE_OK, OpenPackage(&p, path.c_str()));
    int index = FindVersionListEntry(p);
    ASSERT_GE(index, 0);
    ReadPackageList(list, &p, (uint32_t)index);
    ClosePackage(&p);
}

TEST(PackageList, V1AndV2ReadAlikeAndFindByFileName) {
    std::vector<WriterEntry> entries = {
        PatternEntry("DATA01000.ARC", "Archive\\data01000.arc", 300, 1),
        PatternEntry("system.arc", "system.arc", 200, 2),
        PatternEntry("other.arc", "Other\\data01000.arc", 10,
                     3), // same name part, later: never chosen
        PatternEntry("unlisted.bin", "", 10, 4),
        PatternEntry("long.bin", std::string(52, 'L') + ".bin", 10, 5), // fills a V1 path field
    };
    entries[1].wrongDigest = true;
    WriterOptions v2, v1;
    v1.listVersion = 1;
    PackageList list2{}, list1{};
    ReadListOf(v2, entries, &list2);
    ReadListOf(v1, entries, &list1);
    ASSERT_EQ(4u, list2.count);
    ASSERT_EQ(4u, list1.count);
    EXPECT_EQ(0, memcmp(list1.records, list2.records, 4 * sizeof(VersionRecord)));

    const VersionRecord* r = FindByFileName(list1, "DATA01000.ARC");
    ASSERT_NE(nullptr, r);
    EXPECT_STREQ("Archive\\data01000.arc", r->path);
    unsigned char d[kDigestSize] = {};
    FeedDigest(d, entries[0].data.data(), entries[0].data.size());
    EXPECT_EQ(0, memcmp(d, r->digest, kDigestSize));
    r = FindByFileName(list1, "SYSTEM.arc");
    ASSERT_NE(nullptr, r);
    memset(d, 0, sizeof(d));
    FeedDigest(d, entries[1].data.data(), entries[1].data.size());
    EXPECT_NE(0, memcmp(d, r->digest, kDigestSize)); // the writer's wrong-digest knob
    EXPECT_EQ(nullptr, FindByFileName(list1, "unlisted.bin"));
    EXPECT_EQ(nullptr, FindByFileName(list1, "Archive"));
    EXPECT_EQ(std::string(52, 'L') + ".bin",
              FindByFileName(list1, ("l" + std::string(51, 'L') + ".BIN").c_str())->path);
    FreePackageList(&list1);
    FreePackageList(&list2);
    EXPECT_EQ(nullptr, list1.records);
}

TEST(PackageList, DamagedListsReadAsNoList) {
    std::vector<WriterEntry> entries = {PatternEntry("a.arc", "a.arc", 0, 1),
                                        PatternEntry("b.arc", "Archive\\b.arc", 0, 2)};
    struct Case {
        const char* what;
        int listVersion;
        uint32_t listCount;
        uint32_t truncateBy;
    } cases[] = {
        {"V2 count above the entry", 2, 3, 0},
        {"V1 count above the entry", 1, 3, 0},
        {"count past any memory", 2, 0xFFFFFFFF, 0},
        {"count that wraps 32 bits", 2, 0x01000001, 0},
        {"list cut by the end of the file", 2, 0, 10},
        {"header cut by the end of the file", 2, 0, 16 + 2 * 256 - 8},
    };
    for (const Case& c : cases) {
        WriterOptions options;
        options.listVersion = c.listVersion;
        options.listCountOverride = c.listCount;
        options.truncateBy = c.truncateBy;
        PackageList list{};
        ReadListOf(options, entries, &list);
        EXPECT_EQ(0u, list.count) << c.what;
        EXPECT_EQ(nullptr, list.records) << c.what;
    }
    // An entry of that name with other bytes, or too short for a header.
    const char* contents[] = {"BHV_V3__\0\0\0\0\1\0\0\0", "BHV_V2__"};
    for (const char* text : contents) {
        WriterOptions options;
        options.listVersion = 0;
        WriterEntry e = PatternEntry("krn.HVL", "", 0, 1);
        e.data.assign(text, text + (text[5] == '3' ? 16 : 8));
        PackageList list{};
        ReadListOf(options, {e}, &list);
        EXPECT_EQ(0u, list.count);
    }
    // A V2 path that fills its field is cut at the field's last byte.
    WriterOptions options;
    PackageList list{};
    ReadListOf(options, {PatternEntry("x", std::string(248, 'p'), 1, 1)}, &list);
    ASSERT_EQ(1u, list.count);
    EXPECT_EQ(std::string(247, 'p'), list.records[0].path);
    FreePackageList(&list);
}

} // namespace
