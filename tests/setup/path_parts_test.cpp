// The path record: conversion of UTF-8 and Shift-JIS input, the split at the
// last backslash, and the refusal of paths too long for a record.
#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "path_parts.h"
#include "test_support.h"
#include "wide_text.h"

typedef std::basic_string<WideChar> Wide;

static Wide Repeat(const WideChar* piece, size_t count) {
    Wide out;
    for (size_t i = 0; i < count; i++)
        out += piece;
    return out;
}

struct SplitCase {
    const char* label;
    std::string input; // narrow, as given to SetNarrowPath
    Wide path;
    Wide folder;
    std::string folderUtf8;
};

TEST(PathParts, SplitsNarrowInputAtTheLastBackslash) {
    const SplitCase cases[] = {
        {"utf-8", u8"C:\\ゲーム\\ディスク1\\setup.exe", WIDE("C:\\ゲーム\\ディスク1\\setup.exe"),
         WIDE("C:\\ゲーム\\ディスク1"), u8"C:\\ゲーム\\ディスク1"},
        // 表 and ソ end in the byte 0x5C in Shift-JIS: that is no backslash.
        {"shift-jis", Sjis(u8"D:\\表ソ\\setup.exe"), WIDE("D:\\表ソ\\setup.exe"), WIDE("D:\\表ソ"),
         u8"D:\\表ソ"},
        {"shift-jis, trail byte last", Sjis(u8"D:\\ソ"), WIDE("D:\\ソ"), WIDE("D:"), "D:"},
        {"drive root", "D:\\setup.exe", WIDE("D:\\setup.exe"), WIDE("D:"), "D:"},
        {"only a leading backslash", "\\setup.exe", WIDE("\\setup.exe"), WIDE(""), ""},
        {"no backslash", "setup.exe", WIDE("setup.exe"), WIDE(""), "setup.exe"},
        {"trailing backslash", "C:\\Temp\\", WIDE("C:\\Temp\\"), WIDE("C:\\Temp"), "C:\\Temp"},
        {"network share", "\\\\server\\share\\x.exe", WIDE("\\\\server\\share\\x.exe"),
         WIDE("\\\\server\\share"), "\\\\server\\share"},
        {"empty", "", WIDE(""), WIDE(""), ""},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.label);
        PathParts record;
        ASSERT_TRUE(record.SetNarrowPath(c.input.c_str()));
        EXPECT_EQ(Wide(record.GetPath()), c.path);
        EXPECT_EQ(Wide(record.GetFolder()), c.folder);
        EXPECT_STREQ(record.folderUtf8, c.folderUtf8.c_str());

        // The wide form gives the same record, and pathUtf8 is always UTF-8.
        PathParts fromWide;
        ASSERT_TRUE(fromWide.SetPath(c.path.c_str()));
        EXPECT_EQ(Wide(fromWide.GetPath()), c.path);
        EXPECT_EQ(Wide(fromWide.GetFolder()), c.folder);
        EXPECT_STREQ(fromWide.pathUtf8, record.pathUtf8);
        EXPECT_STREQ(fromWide.folderUtf8, record.folderUtf8);
    }
}

TEST(PathParts, NewRecordIsEmptyAndReuseLeavesNothingBehind) {
    PathParts record;
    EXPECT_EQ(Wide(record.GetPath()), Wide());
    EXPECT_EQ(Wide(record.GetFolder()), Wide());
    EXPECT_STREQ(record.pathUtf8, "");
    EXPECT_STREQ(record.folderUtf8, "");

    ASSERT_TRUE(record.SetPath(WIDE("C:\\Media\\Disc1\\KRNForInstalling.exe")));
    ASSERT_TRUE(record.SetPath(WIDE("KRNForInstalling.exe")));
    EXPECT_EQ(Wide(record.GetFolder()), Wide());
    EXPECT_STREQ(record.folderUtf8, "KRNForInstalling.exe");
}

TEST(PathParts, PathsLongerThanARecordAreRefusedWhole) {
    const Wide prefix = WIDE("C:\\");
    struct LengthCase {
        const char* label;
        Wide path;
        bool fits;
    } cases[] = {
        {"779 units", prefix + Repeat(WIDE("a"), 776), true},
        {"780 units", prefix + Repeat(WIDE("a"), 777), false},
        // 258 kana are 774 UTF-8 bytes: with the prefix and "ab", 779 bytes.
        {"779 UTF-8 bytes", prefix + Repeat(WIDE("あ"), 258) + WIDE("ab"), true},
        {"780 UTF-8 bytes", prefix + Repeat(WIDE("あ"), 258) + WIDE("abc"), false},
        {"few units, too many bytes", prefix + Repeat(WIDE("あ"), 300), false},
    };
    for (const LengthCase& c : cases) {
        SCOPED_TRACE(c.label);
        PathParts record;
        ASSERT_TRUE(record.SetPath(WIDE("C:\\old\\path.exe")));
        EXPECT_EQ(record.SetPath(c.path.c_str()), c.fits);
        if (c.fits) {
            EXPECT_EQ(Wide(record.GetPath()), c.path);
            EXPECT_EQ(Wide(record.GetFolder()), WIDE("C:"));
        } else {
            // Refused: nothing of the old or the new path is left to be used.
            EXPECT_EQ(Wide(record.GetPath()), Wide());
            EXPECT_EQ(Wide(record.GetFolder()), Wide());
            EXPECT_STREQ(record.pathUtf8, "");
            EXPECT_STREQ(record.folderUtf8, "");
        }
    }

    // The narrow form is bounded the same way.
    std::string narrow = "C:\\" + std::string(777, 'a');
    PathParts record;
    EXPECT_FALSE(record.SetNarrowPath(narrow.c_str()));
    narrow.pop_back();
    EXPECT_TRUE(record.SetNarrowPath(narrow.c_str()));
}

TEST(WideText, JoinRefusesRatherThanCuts) {
    WideChar small[8];
    EXPECT_TRUE(JoinWide(small, WIDE("ab"), WIDE("\\"), WIDE("cdef")));
    EXPECT_EQ(Wide(small), WIDE("ab\\cdef"));
    EXPECT_FALSE(JoinWide(small, WIDE("ab"), WIDE("\\"), WIDE("cdefg")));
    EXPECT_EQ(Wide(small), Wide());

    WideChar name[kCopyNameUnits];
    const struct {
        uint32_t n;
        const WideChar* text;
    } names[] = {{0, WIDE("KRN_000000.exe")},
                 {1, WIDE("KRN_000001.exe")},
                 {99999, WIDE("KRN_099999.exe")},
                 {123456, WIDE("KRN_123456.exe")}};
    for (const auto& c : names) {
        FormatCopyName(name, c.n);
        EXPECT_EQ(Wide(name), Wide(c.text));
    }
    FormatRunFolderName(name, 42);
    EXPECT_EQ(Wide(name), Wide(WIDE("KRN_000042.tmp")));
}
