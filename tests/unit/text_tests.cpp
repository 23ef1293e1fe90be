// The text library: UTF-8 against Shift-JIS, character walking that keeps
// trail bytes out of ASCII, name lowering, and conversion through UTF-16 on
// the code-page layer the build links (iconv natively, Win32 under Wine).
#include "test_support.h"
#include "text.h"
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <stdlib.h>
#include <string.h>

namespace {

// A heap copy of exactly strlen + 1 bytes, so that the sanitizer sees any
// read past the terminator.
std::unique_ptr<char[]> Exact(const std::string& s) {
    std::unique_ptr<char[]> p(new char[s.size() + 1]);
    memcpy(p.get(), s.c_str(), s.size() + 1);
    return p;
}

std::string Hex(const std::string& s) {
    std::string out;
    char b[4];
    for (unsigned char c : s) {
        snprintf(b, sizeof b, "%02X ", c);
        out += b;
    }
    return out;
}

std::u16string Units(const WideChar* w) {
    std::u16string out;
    for (; *w; w++)
        out += (char16_t)*w;
    return out;
}

std::u16string ToUnits(const char* s) {
    WideChar* w = ToWide(s);
    if (!w) return u"<null>";
    std::u16string out = Units(w);
    free(w);
    return out;
}

std::string RoundTrip(const char* s, int target) {
    WideChar* w = ToWide(s);
    if (!w) return "<null wide>";
    char* m = ToMultiByte(w, target);
    free(w);
    if (!m) return "<null narrow>";
    std::string out = m;
    free(m);
    return out;
}

const char* KindName(TextKind k) {
    return k == TEXT_ASCII ? "ASCII" : k == TEXT_UTF8 ? "UTF8" : k == TEXT_MBCS ? "MBCS" : "?";
}

TEST(ClassifyText, Kinds) {
    struct Case {
        const char* why;
        std::string text;
        TextKind kind;
    } cases[] = {
        {"empty", "", TEXT_ASCII},
        {"plain ASCII with controls", "readme.txt\r\n\t~\x7F", TEXT_ASCII},
        {"Japanese in UTF-8", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", TEXT_UTF8}, // 日本語
        {"one UTF-8 sequence after ASCII", "data\\\xC3\xA9.txt", TEXT_UTF8},
        {"four-byte sequence", "\xF0\x9F\x98\x80", TEXT_UTF8},
        {"hiragana in Shift-JIS", Sjis("ひらがな"), TEXT_MBCS},
        {"katakana in Shift-JIS", Sjis("カタカナ"), TEXT_MBCS},
        {"kanji with a 0x5C trail", Sjis("表示"), TEXT_MBCS},
        // Half-width katakana pairs that happen to be well-formed UTF-8.
        {"half-width pair ﾃｽ", "\xC3\xBD", TEXT_UTF8},
        {"two half-width pairs", "\xC3\xBD\xC4\xB1", TEXT_UTF8},
        {"E0-FC lead with 0x40-0x7E trail after one pair", "\xC3\xBD\xE8\x41", TEXT_MBCS},
        {"E0-FC lead with 0x40-0x7E trail after two pairs", "\xC3\xBD\xC3\xBD\xFC\x7E", TEXT_MBCS},
        {"first three sequences decide", "\xC3\xBD\xC3\xBD\xC3\xBD\x80\xC0\xFF", TEXT_UTF8},
        {"UTF-8 then Shift-JIS after the third", "\xE3\x81\x82\xE3\x81\x84\xE3\x81\x86\x82\xA0",
         TEXT_UTF8},
        {"invalid byte before the third", "\xC3\xBD\xC3\xBD\x80\xC3\xBD", TEXT_MBCS},
        {"lone 0xC0", "a\xC0", TEXT_MBCS},
        {"overlong slash 0xC0 0xAF", "\xC0\xAF", TEXT_MBCS},
        {"0xC1 after a good sequence", "\xC3\xA9\xC1\x81", TEXT_MBCS},
        {"lone continuation byte", "abc\x80", TEXT_MBCS},
        {"C1 control byte", "\x9F", TEXT_MBCS},
        {"cut off by the terminator", "\xE3\x81", TEXT_MBCS},
        {"four-byte cut off", "ok\xF0\x9F\x98", TEXT_MBCS},
        {"two good then cut off", "\xC3\xA9\xC3\xA9\xE3", TEXT_MBCS},
        // Not rejected: only the form of the bytes counts.
        {"encoded surrogate", "\xED\xA0\x80", TEXT_UTF8},
        {"three-byte overlong", "\xE0\x80\xAF", TEXT_UTF8},
        {"five-byte form", "\xF8\x88\x80\x80\x80", TEXT_UTF8},
        {"0xFF leads eight bytes", "\xFF\x80\x80\x80\x80\x80\x80\x80", TEXT_UTF8},
        {"0xFF with only six followers", "\xFF\x80\x80\x80\x80\x80\x80", TEXT_MBCS},
    };
    for (const Case& c : cases) {
        auto s = Exact(c.text);
        EXPECT_STREQ(KindName(c.kind), KindName(ClassifyText(s.get())))
            << c.why << ": " << Hex(c.text);
    }
}

TEST(IsLeadByte, Boundaries) {
    const unsigned char leads[] = {0x81, 0x88, 0x9F, 0xE0, 0xEA, 0xFC, 0xFF};
    const unsigned char others[] = {0x00, 0x40, 0x5C, 0x7F, 0x80, 0xA0, 0xA6, 0xDF, 0xFD, 0xFE};
    for (unsigned char b : leads)
        EXPECT_TRUE(IsLeadByte(b)) << (int)b;
    for (unsigned char b : others)
        EXPECT_FALSE(IsLeadByte(b)) << (int)b;
}

TEST(DecodeUtf8, ValuesAndLengths) {
    struct Case {
        std::string text;
        uint32_t value;
        uint32_t length;
    } cases[] = {
        {"A", 0x41, 1},
        {"\xC3\xA9", 0xE9, 2},
        {"\xE3\x81\x82", 0x3042, 3},
        {"\xF0\x9F\x98\x80", 0x1F600, 4},
        {"\xE3\x81\x82z", 0x3042, 3}, // stops at the sequence's end
        {"\xC3\x41", 0xC1, 2},        // followers are not checked for their form
        {"\xE3\x81", 0xC1, 2},        // the terminator ends the sequence
        {"\xE3", 0x03, 1},
        {"\xFE\x80\x80\x80\x80\x80\x81", 1, 7},              // no value bits in the lead
        {"\xFF\xBF\xBF\xBF\xBF\xBF\xBF\xBF", 0xFFFFFFFF, 8}, // kept to 32 bits
    };
    for (const Case& c : cases) {
        auto s = Exact(c.text);
        uint32_t length = 0;
        EXPECT_EQ(c.value, DecodeUtf8(s.get(), &length)) << Hex(c.text);
        EXPECT_EQ(c.length, length) << Hex(c.text);
    }
}

TEST(NextChar, PerKind) {
    struct Case {
        std::string text;
        TextKind kind;
        uint32_t value;
        uint32_t length;
    } cases[] = {
        {"\x82\xA0", TEXT_MBCS, 0x82A0, 2},
        {"\x95\x5C", TEXT_MBCS, 0x955C, 2},
        {"\xFF\x41", TEXT_MBCS, 0xFF41, 2},
        {"\x82", TEXT_MBCS, 0x82, 1}, // lead byte at the terminator stands alone
        {"\xA6\x41", TEXT_MBCS, 0xA6, 1},
        {"\xFD\x41", TEXT_MBCS, 0xFD, 1},
        {"A", TEXT_MBCS, 0x41, 1},
        {"\xE3\x81\x82", TEXT_UTF8, 0x3042, 3},
        {"\xE3\x81", TEXT_UTF8, 0xC1, 2},
        {"\x82\xA0", TEXT_ASCII, 0x82, 1},
    };
    for (const Case& c : cases) {
        auto s = Exact(c.text);
        uint32_t length = 0;
        EXPECT_EQ(c.value, NextChar(s.get(), c.kind, &length)) << Hex(c.text);
        EXPECT_EQ(c.length, length) << Hex(c.text);
    }
}

// Walking a whole text by characters lands exactly on its terminator.
TEST(NextChar, WalksToTheTerminator) {
    const std::string texts[] = {Sjis("表示ソフトA"), std::string("abc\x82"),
                                 std::string("\xC3\xBD\xE3\x81"),
                                 std::string("\xE6\x97\xA5\xF0\x9F")};
    for (const std::string& t : texts) {
        auto s = Exact(t);
        TextKind kind = ClassifyText(s.get());
        size_t at = 0;
        while (s[at]) {
            uint32_t length = 0;
            NextChar(s.get() + at, kind, &length);
            ASSERT_GE(length, 1u);
            at += length;
            ASSERT_LE(at, t.size()) << Hex(t);
        }
        EXPECT_EQ(t.size(), at) << Hex(t);
    }
}

TEST(LowerAscii, OnlySingleByteLetters) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"ABC def XYZ@[`{", "abc def xyz@[`{"},
        {"", ""},
        // ア イ ウ have trail bytes 0x41 0x43 0x45.
        {Sjis("アイウ") + "ABC", Sjis("アイウ") + "abc"},
        {Sjis("表") + "Z", Sjis("表") + "z"},
        {"\xE0\x41Q", "\xE0\x41q"},
        {Sjis("ＡＢ") + "CD", Sjis("ＡＢ") + "cd"}, // full-width letters are not ASCII
        {"\xC3\x80"
         "BC",
         "\xC3\x80"
         "bc"}, // UTF-8 À stays
        {"\xC3\xBD"
         "ABC",
         "\xC3\xBD"
         "abc"}, // half-width pair read as UTF-8
        {"A\x82", "a\x82"},
    };
    for (const Case& c : cases) {
        auto s = Exact(c.in);
        EXPECT_EQ(s.get(), LowerAscii(s.get()));
        EXPECT_EQ(Hex(c.out), Hex(s.get())) << Hex(c.in);
    }
}

TEST(FindChar, StepsOverDoubleByteCharacters) {
    struct Case {
        std::string text;
        uint32_t value;
        int at; // -1: none
    } cases[] = {
        {Sjis("表示\\file"), '\\', 4},
        {Sjis("ソフト\\a"), '\\', 6},
        {Sjis("能力"), '\\', -1},
        {Sjis("アイ") + "A", 'A', 4},
        {Sjis("アイ"), 'A', -1},
        {"abc\r\n", '\n', 4},
        {"abc", 0, -1},
        {"\xE6\x97\xA5\xE6\x9C\xAC\r\n", '\r', 6},
        {Sjis("あいう"), 0x82A2, 2},
        {"\xE3\x81\x82\xE3\x81\x84", 0x3044, 3},
        {"a\x82\nb\n", '\n', 4}, // the line feed after a lead byte belongs to it
        // Taken for UTF-8 by its first three sequences; then a sequence cut
        // by the end whose lead bits read 0x0D, and an overlong line feed.
        {"\xC3\xB8\xC2\xA7\xC3\xB8\xED", '\r', -1},
        {"\xC3\xB8\xC2\xA7\xC3\xB8\xC0\x8A", '\n', -1},
    };
    for (const Case& c : cases) {
        auto s = Exact(c.text);
        const char* found = FindChar(s.get(), c.value);
        EXPECT_EQ(c.at, found ? (int)(found - s.get()) : -1) << Hex(c.text) << " value " << c.value;
    }
}

// Line breaks in valid text: the character search agrees with a byte search,
// from every starting position the way the list reader calls it.
TEST(FindChar, LineBreaksMatchByteSearch) {
    const std::string texts[] = {
        Sjis("データ\\表示.arc\r\nソフト\\能力.dat\r\n最後"),
        "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF\r\nfile.bin\n\xE8\xA1\xA8\r\n",
    };
    for (const std::string& t : texts) {
        auto s = Exact(t);
        TextKind kind = ClassifyText(s.get());
        for (size_t at = 0; s[at];) {
            for (char wanted : {'\r', '\n'})
                EXPECT_EQ(strchr(s.get() + at, wanted), FindChar(s.get() + at, wanted));
            uint32_t length;
            NextChar(s.get() + at, kind, &length);
            at += length;
        }
    }
}

TEST(LowerName, DoubleByteCapitals) {
    struct Case {
        const char* upper;
        const char* lower;
    } alphabets[] = {
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz"},
        {"ＡＢＣＤＥＦＧＨＩＪＫＬＭＮＯＰＱＲＳＴＵＶＷＸＹＺ",
         "ａｂｃｄｅｆｇｈｉｊｋｌｍｎｏｐｑｒｓｔｕｖｗｘｙｚ"},
        {"ΑΒΓΔΕΖΗΘΙΚΛΜΝΞΟΠΡΣΤΥΦΧΨΩ", "αβγδεζηθικλμνξοπρστυφχψω"},
        {"АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ", "абвгдеёжзийклмнопрстуфхцчшщъыьэюя"},
        {"ARCHIVE\\データＡ.ARC", "archive\\データａ.arc"},
    };
    for (const Case& c : alphabets) {
        std::string upper = Sjis(c.upper), lower = Sjis(c.lower);
        ASSERT_FALSE(upper.empty()) << c.upper;
        auto s = Exact(upper);
        EXPECT_EQ(s.get(), LowerName(s.get()));
        EXPECT_EQ(Hex(lower), Hex(s.get())) << c.upper;
        auto again = Exact(lower);
        EXPECT_EQ(Hex(lower), Hex(LowerName(again.get()))) << "lower stays: " << c.lower;
    }
    // Roman numerals have case too: the NEC row and the IBM extension both
    // lower to the IBM small numerals; their neighbours stay.
    struct Raw {
        std::string in, out;
    } numerals[] = {
        {"\x87\x54\x87\x5D", "\xFA\x40\xFA\x49"}, // Ⅰ Ⅹ
        {"\xFA\x4A\xFA\x53", "\xFA\x40\xFA\x49"},
        {"\x87\x53\xFA\x40\xFA\x54", "\x87\x53\xFA\x40\xFA\x54"}, // ⑳ ⅰ ￢
    };
    for (const Raw& c : numerals) {
        auto s = Exact(c.in);
        EXPECT_EQ(Hex(c.out), Hex(LowerName(s.get()))) << Hex(c.in);
    }
}

TEST(LowerName, TrailBytesNeverChangeAlone) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {Sjis("アイウエオ"), Sjis("アイウエオ")}, // trails 0x41-0x49
        {Sjis("表示ソ能"), Sjis("表示ソ能")},     // trails 0x5C
        {"\x82\x5A"
         "Z",
         "\x82\x5A"
         "z"},                                    // lead + 'Z' is one character
        {"\x82\x5F\x82\x7A", "\x82\x5F\x82\x7A"}, // just outside the full-width capitals
        {"\x84\x4E\x84\x4F", "\x84\x7E\x84\x80"}, // Н О: the lower range skips 0x847F
        {"\xC3\xBD"
         "AB",
         "\xC3\xBD"
         "ab"},               // half-width katakana are single bytes
        {"AB\x83", "ab\x83"}, // a lead byte at the end stands alone
        {Sjis("０１"), Sjis("０１")},
    };
    for (const Case& c : cases) {
        auto s = Exact(c.in);
        LowerName(s.get());
        EXPECT_EQ(Hex(c.out), Hex(s.get())) << Hex(c.in);
    }
}

TEST(Conversion, Utf8ToShiftJisRoundTrips) {
    const char* texts[] = {
        "", "plain.txt", "日本語のテキスト", "ｱｲｳｴｵ half-width", "表示\\ソフト\\能力.arc", "①髙～",
    };
    for (const char* t : texts) {
        std::string sjis = Sjis(t);
        EXPECT_EQ(Hex(sjis), Hex(RoundTrip(t, kTargetSjis))) << t;
        // And back: Shift-JIS (or ASCII) to UTF-8 gives the original.
        EXPECT_EQ(std::string(t), RoundTrip(sjis.c_str(), kTargetUtf8)) << t;
    }
}

TEST(Conversion, WideForms) {
    EXPECT_EQ(u"", ToUnits(""));
    EXPECT_EQ(u"\u3042\u3044", ToUnits("\xE3\x81\x82\xE3\x81\x84"));
    EXPECT_EQ(u"\u8868\u793A", ToUnits(Sjis("表示").c_str()));
    EXPECT_EQ(u"\U0001F600", ToUnits("\xF0\x9F\x98\x80"));
    EXPECT_EQ("\xF0\x9F\x98\x80", RoundTrip("\xF0\x9F\x98\x80", kTargetUtf8));
    // A half-width pair that reads as UTF-8 is converted as UTF-8.
    EXPECT_EQ(u"\u00FD", ToUnits("\xC3\xBD"));

    WideChar* w = ToWide("abc");
    ASSERT_NE(nullptr, w);
    EXPECT_EQ(3u, WideLength(w));
    EXPECT_EQ(nullptr, ToMultiByte(w, 2)); // no such target
    free(w);
    EXPECT_EQ(nullptr, ToWide((const char*)nullptr));
    EXPECT_EQ(nullptr, ToMultiByte((const WideChar*)nullptr, kTargetSjis));
}

TEST(Conversion, UnmappableBecomesQuestionMark) {
    // Hangul and Thai have no Shift-JIS form and no near equivalent.
    EXPECT_EQ("A?B", RoundTrip("A\xED\x95\x9C"
                               "B",
                               kTargetSjis));
    EXPECT_EQ("?" + Sjis("表"), RoundTrip("\xE0\xB8\x81\xE8\xA1\xA8", kTargetSjis));
}

TEST(Conversion, InvalidShiftJisKeepsTrailOutOfAscii) {
    // 0x85 0x40 has no character; whatever stands in for it, the 0x40 is not '@'.
    std::u16string w = ToUnits("\x85\x40X");
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(u'X', w.back());
    EXPECT_EQ(std::u16string::npos, w.find(u'@'));
}

TEST(Conversion, CallerBuffersAreBounded) {
    const WideChar kCanary = 0x7777;
    std::string sjis = Sjis("表示");
    // Exact fit, then one unit short: refused, emptied, nothing past capacity.
    {
        WideChar buf[8];
        for (WideChar& u : buf)
            u = kCanary;
        EXPECT_TRUE(ToWide(buf, 3, sjis.c_str()));
        EXPECT_EQ(u"\u8868\u793A", Units(buf));
        for (WideChar& u : buf)
            u = kCanary;
        EXPECT_FALSE(ToWide(buf, 2, sjis.c_str()));
        EXPECT_EQ(0, buf[0]);
        for (int i = 2; i < 8; i++)
            EXPECT_EQ(kCanary, buf[i]);
        buf[0] = kCanary;
        EXPECT_FALSE(ToWide(buf, 0, "a"));
        EXPECT_EQ(kCanary, buf[0]);
    }
    WideChar* w = ToWide(sjis.c_str());
    ASSERT_NE(nullptr, w);
    struct Case {
        int target;
        size_t fit; // bytes with the terminator
    } cases[] = {{kTargetSjis, 5}, {kTargetUtf8, 7}};
    for (const Case& c : cases) {
        char buf[16];
        memset(buf, 'x', sizeof buf);
        EXPECT_TRUE(ToMultiByte(buf, c.fit, w, c.target)) << c.target;
        EXPECT_EQ(c.fit - 1, strlen(buf));
        memset(buf, 'x', sizeof buf);
        EXPECT_FALSE(ToMultiByte(buf, c.fit - 1, w, c.target)) << c.target;
        EXPECT_EQ(0, buf[0]);
        for (size_t i = c.fit - 1; i < sizeof buf; i++)
            EXPECT_EQ('x', buf[i]) << c.target;
    }
    free(w);

    // The array forms take their capacity from the array.
    WideChar four[4];
    EXPECT_TRUE(ToWide(four, "abc"));
    EXPECT_FALSE(ToWide(four, "abcd"));
    const WideChar kHyoji[] = {0x8868, 0x793A, 0}; // 表示
    char five[5], four8[4];
    EXPECT_TRUE(ToMultiByte(five, kHyoji, kTargetSjis));
    EXPECT_FALSE(ToMultiByte(four8, kHyoji, kTargetSjis));
}

// Names are compared by what the code page decodes them to, so iconv (native)
// and the system (Windows, Wine) must agree pair for pair: which pairs are
// undefined (U+30FB, as is 0x8145 itself) and which spell one character twice.
TEST(Conversion, EveryDoubleBytePairDecodesAsOnWindows) {
    uint32_t hash = 2166136261u; // FNV-1a over the decoded units
    uint32_t defined = 0;
    std::map<uint32_t, int> spellings;
    for (unsigned lead = 0x81; lead <= 0xFC; lead++) {
        if (!IsLeadByte((unsigned char)lead)) continue;
        for (unsigned trail = 0x40; trail <= 0xFC; trail++) {
            if (!IsTrailByte((unsigned char)trail)) continue;
            const char pair[3] = {(char)lead, (char)trail, 0};
            WideChar w[4] = {0};
            ASSERT_EQ(2, MultiByteToWide(kCodePageSjis, pair, w, 4)) << lead << " " << trail;
            if (w[0] != 0x30FB || (lead == 0x81 && trail == 0x45)) {
                defined++;
                spellings[w[0]]++;
            }
            for (unsigned b : {w[0] & 0xFFu, (unsigned)w[0] >> 8})
                hash = (hash ^ b) * 16777619u;
        }
    }
    int classes = 0, duplicates = 0;
    for (const auto& s : spellings)
        if (s.second > 1) classes++, duplicates += s.second;
    EXPECT_EQ(9604u, defined);
    EXPECT_EQ(396, classes);
    EXPECT_EQ(794, duplicates);
    EXPECT_EQ(0x88E723C4u, hash);
}

} // namespace
