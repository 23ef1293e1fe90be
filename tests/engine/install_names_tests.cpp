// Install names from a package: which ones may be written, and which sets of
// names would collide on disk.
#include "install_names.h"
#include "result_codes.h"
#include "test_support.h"
#include <gtest/gtest.h>

namespace {

TEST(InstallNames, SafeNamesPass) {
    const std::string names[] = {
        "system.arc",
        "Archive\\data01000.arc",
        "a/b.txt",
        ".hidden",
        "a..b",
        "console.txt",
        "COM10",
        "nul_file",
        "LPT",
        Sjis("表"),             // 0x95 0x5C: the trail byte is no separator
        Sjis("表\\ソフト.dat"), // trail 0x5C inside, a real separator after
        Sjis("ポ.dat"),         // 0x83 0x7C: the trail byte looks like "|"
        Sjis("ａ．"),           // a full-width dot is no dot
    };
    for (const std::string& name : names)
        EXPECT_TRUE(IsSafeInstallName(name.c_str())) << name;
}

TEST(InstallNames, UnsafeNamesAreRefused) {
    const std::string names[] = {
        "",
        "\\abs.txt",
        "/abs.txt",
        "\\\\server\\share\\x",
        "C:\\x",
        "C:x",
        "a.txt:stream",
        "..\\x",
        "a\\..\\x",
        "a\\..",
        ".\\x",
        ".",
        "a\\\\b",
        "a\\",
        "a/",
        "CON",
        "con.txt",
        "Aux.dat",
        "a\\NUL",
        "nul\\a",
        "COM1",
        "lpt9.log",
        "NUL .txt",
        "conin$",
        "a.",
        "a ",
        "dir.\\x",
        "x?",
        "x*",
        "a|b",
        "a<b",
        "a>b",
        "a\"b",
        "tab\there",
        "\x95",       // a lead byte without its trail byte
        "a\\\x95",    // the same at the end of a path
        Sjis("表\\"), // trail 0x5C, then a separator with nothing after
        " a.txt",     // the uninstall list drops leading blanks
        // Pairs and bytes the code page leaves undefined.
        "\x85\x40.dat",
        "\xEB\x40",
        "\xFC\xFC",
        "\xFF\x40",
        "\x80",
        "a\\\xA0",
        "\xFD",
    };
    for (const std::string& name : names)
        EXPECT_FALSE(IsSafeInstallName(name.c_str())) << name;
}

uint32_t Check(std::vector<std::string> names) {
    std::vector<const char*> table;
    for (const std::string& n : names)
        table.push_back(n.c_str());
    return CheckInstallNames(table.data(), (uint32_t)table.size());
}

TEST(InstallNames, CollidingNamesAreRefused) {
    EXPECT_EQ(UPDATE_OK, Check({}));
    EXPECT_EQ(UPDATE_OK, Check({"a.txt"}));
    EXPECT_EQ(UPDATE_OK, Check({"KRN.hvl", "system.arc", "Archive\\system.arc", "a.tm", "a.tmp2"}));
    EXPECT_EQ(UPDATE_E_PACKAGE, Check({"a.txt", "b", "A.TXT"}));
    EXPECT_EQ(UPDATE_E_PACKAGE, Check({"Archive\\x.arc", "archive/X.ARC"}));
    // Entry i's temporary file would be entry j's target, in either order.
    EXPECT_EQ(UPDATE_E_PACKAGE, Check({"a.dat", "A.DAT.tmp"}));
    EXPECT_EQ(UPDATE_E_PACKAGE, Check({"a.dat.tmp", "a.dat"}));
    // A file where another entry needs its folder, in either order.
    EXPECT_EQ(UPDATE_E_PACKAGE, Check({"Archive", "archive\\x.arc"}));
    EXPECT_EQ(UPDATE_E_PACKAGE, Check({"a\\b\\c", "A/B"}));
    EXPECT_EQ(UPDATE_OK, Check({"a\\b", "a\\c", "ab\\c"}));
    // Full-width capitals match their small letters.
    EXPECT_EQ(UPDATE_E_PACKAGE, Check({Sjis("Ａ.txt"), Sjis("ａ.txt")}));
    // Shift-JIS names that differ only in a trail byte are different files.
    EXPECT_EQ(UPDATE_OK, Check({Sjis("表"), Sjis("評")}));
    EXPECT_EQ(UPDATE_E_PACKAGE, Check({"ok.txt", "..\\up.txt"}));
    // The lists' own temporary files, written after the moves.
    EXPECT_EQ(UPDATE_E_PACKAGE, Check({"KRN.hvl.tmp"}));
    EXPECT_EQ(UPDATE_E_PACKAGE, Check({"system.arc", "Uninst.LST.tmp"}));
    EXPECT_EQ(UPDATE_OK, Check({"Archive\\uninst.lst.tmp"}));
}

// Names are compared as characters: the code page's duplicate spellings of
// one character (NEC row 13, NEC-selected IBM and IBM extensions) name one
// file, and letters with case in any script fold.
TEST(InstallNames, DuplicateSpellingsOfOneCharacterCollide) {
    const std::vector<std::string> sets[] = {
        {"\xED\x40.dat", "\xFA\x5C.dat"},     // U+7E8A
        {"\xFA\x5C.dat.tmp", "\xED\x40.dat"}, // one's temporary file is the other
        {"\x87\x54", "\xFA\x4A"},             // Roman numeral one
        {"\x81\xCA", "\xEE\xF9", "\xFA\x54"}, // not sign
        {"a\\\x87\x90", "A/\x81\xE0"},        // approximately equal
        {"\xFA\x40", "\x87\x54"},             // small Roman one, capital one
        {Sjis("Α.txt"), Sjis("α.txt")},
        {Sjis("Ё"), Sjis("ё")},
    };
    for (const std::vector<std::string>& names : sets)
        EXPECT_EQ(UPDATE_E_PACKAGE, Check(names)) << names[0];
    EXPECT_EQ(UPDATE_OK, Check({"\xED\x40.dat", "\xED\x41.dat", Sjis("・")}));
}

} // namespace
