// The uninstall list: parsing, merging the installed names, and the rewrite
// that must never leave a damaged list behind.
#include "file_faults.h"
#include "file_system.h"
#include "test_support.h"
#include "uninstall_list.h"
#include <gtest/gtest.h>
#include <string.h>

namespace {

const std::string kNul(1, '\0');

// The entries of a group, in order.
std::vector<std::string> Texts(const UninstallGroup& group) {
    std::vector<std::string> out;
    for (const UninstallEntry* e = group.first; e; e = e->next)
        out.push_back(e->text);
    return out;
}

struct UninstallListTest : ::testing::Test {
    ScratchFolder folder;
    FileFaults faults{};
    std::string ListPath() const { return folder.Join("uninst.lst"); }
    void TearDown() override { gFileFaults = nullptr; }

    // Writes the list, merges names into it and returns the file as it is then.
    int Merge(const std::string& before, std::vector<const char*> names, std::string* after) {
        if (!WriteText(ListPath(), before)) return -1;
        names.push_back(nullptr);
        int result = UpdateUninstallList(folder.path.c_str(), names.data());
        *after = ReadText(ListPath());
        return result;
    }
};

TEST_F(UninstallListTest, MergesAsTheListFormatSays) {
    struct Case {
        const char* what;
        std::string before;
        std::vector<const char*> names;
        std::string after;
    };
    const std::string sjisKana = Sjis("アイウ.TXT");      // trail bytes 0x41-0x45 look like "A"-"E"
    const std::string sjisTable = Sjis("表\\ソフト.DAT"); // trail bytes 0x5C
    const Case cases[] = {
        {"CRLF becomes LF, trailing zero byte added",
         "A.txt\r\nB.TXT\r\n",
         {},
         "a.txt\nb.txt\n" + kNul},
        {"CR alone and LF runs", "a\rb\n\n\r\r\nc", {}, "a\nb\nc\n" + kNul},
        {"zero byte ends the text", std::string("a\nb\0c\nd\n", 8), {}, "a\nb\n" + kNul},
        {"single zero byte", kNul, {"New.dat"}, "new.dat\n" + kNul},
        {"pure ASCII written form unchanged",
         "a.txt\nsub\\b.txt\n" + kNul,
         {},
         "a.txt\nsub\\b.txt\n" + kNul},
        {"dollar lines go last, new names before them, even a $ name",
         "$b\nA\n$a\nB\n$B\n",
         {"C", "$x"},
         "a\nb\nc\n$x\n$b\n$a\n" + kNul},
        {"only dollar lines and no names", "$one\r\n$two\r\n", {}, "$one\n$two\n" + kNul},
        {"blank lines go, leading blanks go, trailing blanks stay",
         "\n\n  \t\n  a  \n\t b\n\r\n",
         {},
         "a  \nb\n" + kNul},
        {"case duplicates collapse into the first",
         "Data.ARC\nother\ndata.arc\nDATA.arc\n",
         {},
         "data.arc\nother\n" + kNul},
        {"names present in any case are not added, new ones once",
         "Archive\\Data.arc\n",
         {"ARCHIVE\\data.arc", "new", "NEW", "new"},
         "archive\\data.arc\nnew\n" + kNul},
        {"Shift-JIS letters never altered",
         sjisKana + "\n" + sjisTable + "\n",
         {},
         Sjis("アイウ.txt") + "\n" + Sjis("表\\ソフト.dat") + "\n" + kNul},
        // Half-width katakana pairs such as C3 B8 pass for UTF-8; the list
        // is only taken for UTF-8 when all of it is and all of it fits 932.
        {"Shift-JIS that starts like UTF-8 stays Shift-JIS",
         Sjis("ﾃｸﾃｸﾃｸ.dat\n") + sjisTable + "\n" + kNul,
         {"A.dat"},
         Sjis("ﾃｸﾃｸﾃｸ.dat\n") + Sjis("表\\ソフト.dat") + "\na.dat\n" + kNul},
        {"UTF-8 in form, but a character without a 932 form: Shift-JIS",
         Sjis("ﾃｸ.dat\n"),
         {},
         Sjis("ﾃｸ.dat\n") + kNul},
        {"a UTF-8 byte-order mark is dropped",
         "\xEF\xBB\xBF表\\ソフト.DAT\n",
         {},
         Sjis("表\\ソフト.dat\n") + kNul},
    };
    for (const Case& c : cases) {
        std::string after;
        EXPECT_EQ(1, Merge(c.before, c.names, &after)) << c.what;
        EXPECT_EQ(c.after, after) << c.what;
    }
    EXPECT_FALSE(PathExists(ListPath() + ".tmp"));
}

TEST_F(UninstallListTest, Utf8ListIsRewrittenAsShiftJis) {
    std::string after;
    ASSERT_EQ(1, Merge("データ\\ＡＢ.TXT\r\n$Ｘ\r\n", {"Archive\\data01000.arc"}, &after));
    EXPECT_EQ(Sjis("データ\\ＡＢ.txt\narchive\\data01000.arc\n$Ｘ\n") + kNul, after);
}

TEST_F(UninstallListTest, MissingOrEmptyListFailsAndStaysSo) {
    const char* names[] = {"a.txt", nullptr};
    EXPECT_EQ(0, UpdateUninstallList(folder.path.c_str(), names));
    EXPECT_FALSE(PathExists(ListPath()));

    ASSERT_TRUE(WriteText(ListPath(), ""));
    EXPECT_EQ(0, UpdateUninstallList(folder.path.c_str(), names));
    EXPECT_EQ("", ReadText(ListPath()));
}

// 779 bytes fit the line buffer; a longer line would have to be cut or
// dropped, so the list is refused and left as it was.
TEST_F(UninstallListTest, OverlongLineRefusesTheList) {
    std::string after;
    std::string fits(779, 'x');
    EXPECT_EQ(1, Merge(fits + "\n", {}, &after));
    EXPECT_EQ(fits + "\n" + kNul, after);

    std::string before = "a\n" + std::string(780, 'x') + "\nb\n";
    EXPECT_EQ(0, Merge(before, {"c"}, &after));
    EXPECT_EQ(before, after);

    // An overlong name cannot be recorded either.
    std::string longName(800, 'n');
    EXPECT_EQ(0, Merge("a\n", {longName.c_str()}, &after));
    EXPECT_EQ("a\n", after);
}

TEST_F(UninstallListTest, FailedRewriteLeavesOldListByteIdentical) {
    const std::string before = "Keep.Me\r\n$dollar\r\n";
    struct Case {
        const char* what;
        const char *failOpenRead, *failCreate, *failMove;
        uint32_t shortWriteAt, failFlushAt;
    };
    const Case cases[] = {
        {"temporary file not creatable", nullptr, "uninst.lst.tmp", nullptr, 0, 0},
        {"short write", nullptr, nullptr, nullptr, 1, 0},
        {"flush fails", nullptr, nullptr, nullptr, 0, 1},
        {"rename over the list fails", nullptr, nullptr, "uninst.lst", 0, 0},
        {"list not readable", "uninst.lst", nullptr, nullptr, 0, 0},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteText(ListPath(), before));
        faults = FileFaults();
        faults.failOpenRead = c.failOpenRead;
        faults.failCreate = c.failCreate;
        faults.failMove = c.failMove;
        faults.shortWriteAt = c.shortWriteAt;
        faults.failFlushAt = c.failFlushAt;
        gFileFaults = &faults;
        const char* names[] = {"new.dat", nullptr};
        EXPECT_EQ(0, UpdateUninstallList(folder.path.c_str(), names)) << c.what;
        gFileFaults = nullptr;
        EXPECT_EQ(before, ReadText(ListPath())) << c.what;
        EXPECT_EQ((std::vector<std::string>{"uninst.lst"}), ListFolder(folder.path)) << c.what;
    }
}

// A read-only list is not replaced, as it could not be opened for writing.
TEST_F(UninstallListTest, ReadOnlyListStaysAsItWas) {
    ASSERT_TRUE(WriteText(ListPath(), "A\r\n"));
    ASSERT_TRUE(SetPathAttributes(ListPath().c_str(), kAttrReadOnly));
    const char* names[] = {"b", nullptr};
    EXPECT_EQ(0, UpdateUninstallList(folder.path.c_str(), names));
    EXPECT_EQ("A\r\n", ReadText(ListPath()));
    EXPECT_EQ((std::vector<std::string>{"uninst.lst"}), ListFolder(folder.path));
}

TEST_F(UninstallListTest, WrittenListReadsBackToTheSameEntries) {
    UninstallGroup groups[2] = {};
    const std::string text = Sjis("b.txt\r\n  $z\r\nＡ\\表.dat\n$y\na.txt  \n");
    ASSERT_TRUE(ParseUninstallList(&groups[0], &groups[1], text.c_str()));
    std::vector<std::string> ordinary = Texts(groups[0]);
    std::vector<std::string> dollar = Texts(groups[1]);
    EXPECT_EQ((std::vector<std::string>{"b.txt", Sjis("Ａ\\表.dat"), "a.txt  "}), ordinary);
    EXPECT_EQ((std::vector<std::string>{"$z", "$y"}), dollar);

    ASSERT_EQ(1, WriteUninstallList(ListPath().c_str(), groups, 2));
    EXPECT_EQ(nullptr, groups[0].first); // the writer took every entry
    EXPECT_EQ(nullptr, groups[1].first);

    std::string written = ReadText(ListPath());
    UninstallGroup again[2] = {};
    ASSERT_TRUE(ParseUninstallList(&again[0], &again[1], written.c_str()));
    EXPECT_EQ(ordinary, Texts(again[0]));
    EXPECT_EQ(dollar, Texts(again[1]));
    FreeUninstallGroup(&again[0]);
    FreeUninstallGroup(&again[1]);
}

// Past the first 0x10000 bytes the output buffer grows; and the hash set must
// keep first-wins order over many entries and several rehashes.
TEST_F(UninstallListTest, LargeListKeepsOrderAndDropsDuplicates) {
    std::string before;
    std::string expected;
    for (int i = 0; i < 20000; i++) {
        std::string line = "Archive\\File" + std::to_string(i) + ".ARC";
        before += line + "\r\n";
        if (i % 7 == 0) before += "archive\\file" + std::to_string(i / 2) + ".arc\r\n";
        for (char& ch : line)
            ch = (char)tolower((unsigned char)ch);
        expected += line + "\n";
    }
    std::string after;
    ASSERT_EQ(1, Merge(before, {"archive\\FILE5.arc", "fresh"}, &after));
    EXPECT_EQ(expected + "fresh\n" + kNul, after);
}

TEST_F(UninstallListTest, EmptyGroupsWriteOneZeroByte) {
    UninstallGroup groups[2] = {};
    ASSERT_EQ(1, WriteUninstallList(ListPath().c_str(), groups, 2));
    EXPECT_EQ(kNul, ReadText(ListPath()));
}

} // namespace
