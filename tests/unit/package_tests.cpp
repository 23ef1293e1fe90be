// The payload package: the writer's packages read back by the reader, the
// size and count limits, both entry layouts, and the content digest.
#include "digest.h"
#include "package.h"
#include "package_writer.h"
#include "result_codes.h"
#include "test_support.h"
#include <gtest/gtest.h>
#include <string.h>

namespace {

Bytes Stub() {
    return PatternBytes(4000, 1);
}

// Builds a package file in dir and returns its path.
std::string WritePackage(const ScratchFolder& dir, const WriterOptions& options,
                         const std::vector<WriterEntry>& entries, const char* name = "update.exe") {
    std::string path = dir.Join(name), error;
    EXPECT_TRUE(WritePackageFile(path, Stub(), options, entries, &error)) << error;
    return path;
}

Bytes ReadEntry(Package* p, uint32_t index) {
    Bytes data(GetEntrySize(*p, index));
    EXPECT_TRUE(SeekToEntry(p, index));
    EXPECT_EQ((uint32_t)data.size(), p->file.Read(data.data(), (uint32_t)data.size()));
    return data;
}

TEST(Digest, VectorsAndChunkIndependence) {
    unsigned char d[kDigestSize] = {};
    FeedDigest(d, "", 0);
    const unsigned char zero[kDigestSize] = {};
    EXPECT_EQ(0, memcmp(d, zero, kDigestSize));
    FeedDigest(d, "abc", 3);
    const unsigned char abc[kDigestSize] = {0x06, 0xB4, 0x50, 0x00, 0x12, 0xCC, 0x26, 0x60};
    EXPECT_EQ(0, memcmp(d, abc, kDigestSize));

    unsigned char split[kDigestSize] = {};
    FeedDigest(split, "ab", 2);
    FeedDigest(split, "c", 1);
    EXPECT_EQ(0, memcmp(split, abc, kDigestSize));

    // A longer vector, computed byte by byte from the definition.
    Bytes ramp(1001);
    for (size_t i = 0; i < ramp.size(); i++)
        ramp[i] = (unsigned char)(i * 7 + 3);
    unsigned char rampDigest[kDigestSize] = {};
    FeedDigest(rampDigest, ramp.data(), ramp.size());
    const unsigned char rampExpected[kDigestSize] = {0x87, 0x97, 0x33, 0x3D,
                                                     0xCF, 0xEB, 0x47, 0x3B};
    EXPECT_EQ(0, memcmp(rampDigest, rampExpected, kDigestSize));

    // Long input: h wraps many times; any chunking gives the same bytes.
    Bytes data = PatternBytes(3 * 1048576 + 17, 9);
    unsigned char whole[kDigestSize] = {};
    FeedDigest(whole, data.data(), data.size());
    const size_t chunkSizes[] = {1, 7, 4096, 1048576, 1048577};
    for (size_t chunk : chunkSizes) {
        unsigned char pieces[kDigestSize] = {};
        for (size_t at = 0; at < data.size(); at += chunk)
            FeedDigest(pieces, data.data() + at,
                       chunk < data.size() - at ? chunk : data.size() - at);
        EXPECT_EQ(0, memcmp(pieces, whole, kDigestSize)) << "chunk " << chunk;
    }
    // One changed byte changes the digest.
    data[123456] ^= 0x40;
    unsigned char changed[kDigestSize] = {};
    FeedDigest(changed, data.data(), data.size());
    EXPECT_NE(0, memcmp(changed, whole, kDigestSize));
}

TEST(Package, BothLayoutsRoundTrip) {
    // Only the exact magic selects long entries; nothing else is refused.
    struct Case {
        std::string magic;
        bool longEntries;
    } cases[] = {{"", true},
                 {"VELMAR ARC20", true},
                 {"VELMAR ARC21", false},
                 {"velmar arc20", false},
                 {std::string(12, '\0'), false}};
    for (const Case& c : cases) {
        ScratchFolder dir;
        WriterOptions options;
        options.title = Sjis("クイルミア アップデート");
        options.magic = c.magic;
        std::vector<WriterEntry> entries = {
            PatternEntry("system.arc", "system.arc", 5000, 2), PatternEntry("empty.bin", "", 0, 3),
            PatternEntry("data01000.arc", "Archive\\data01000.arc", 70000, 4)};
        std::string path = WritePackage(dir, options, entries);

        char title[kTitleBlockSize];
        ASSERT_TRUE(ReadTitleBlockFrom(path.c_str(), title));
        EXPECT_EQ(options.title, title);

        Package p{};
        ASSERT_EQ(UPDATE_OK, OpenPackage(&p, path.c_str())) << c.magic.c_str();
        EXPECT_EQ(c.longEntries, p.longEntries);
        uint32_t entrySize = c.longEntries ? kLongEntrySize : kShortEntrySize;
        EXPECT_EQ(entrySize, p.entrySize);
        ASSERT_EQ(4u, p.count);
        EXPECT_EQ(kArchiveOffset + 16 + 4 * entrySize, p.dataStart);
        EXPECT_EQ(0, FindVersionListEntry(p));
        char name[kLongNameSize + 1];
        GetEntryName(p, 0, name);
        EXPECT_STREQ("KRN.hvl", name);
        for (uint32_t i = 0; i < 3; i++) {
            GetEntryName(p, i + 1, name);
            EXPECT_EQ(entries[i].name, name);
            EXPECT_EQ(entries[i].data, ReadEntry(&p, i + 1));
        }
        EXPECT_EQ(0u, GetEntrySize(p, 2));
        EXPECT_FALSE(SeekToEntry(&p, 4)); // no such entry
        GetEntryName(p, 4, name);
        EXPECT_STREQ("", name);
        ClosePackage(&p);
        EXPECT_FALSE(p.file.IsOpen());
        EXPECT_EQ(nullptr, p.table);
    }
}

TEST(Package, CountsAndFileSizes) {
    ScratchFolder dir;
    WriterOptions noList;
    noList.listVersion = 0;

    // Count 0: a table read of 0 bytes, data right behind the header.
    std::string empty = WritePackage(dir, noList, {}, "empty.exe");
    Package p{};
    ASSERT_EQ(UPDATE_OK, OpenPackage(&p, empty.c_str()));
    EXPECT_EQ(0u, p.count);
    EXPECT_EQ(0x70410u, p.dataStart);
    EXPECT_EQ(-1, FindVersionListEntry(p));
    ClosePackage(&p);

    // 256 entries are the most.
    std::vector<WriterEntry> many;
    for (int i = 0; i < 255; i++)
        many.push_back(PatternEntry("f" + std::to_string(i) + ".bin", "", (size_t)i, (unsigned)i));
    std::string full = WritePackage(dir, WriterOptions(), many, "full.exe");
    ASSERT_EQ(UPDATE_OK, OpenPackage(&p, full.c_str()));
    EXPECT_EQ(256u, p.count);
    EXPECT_EQ(many[254].data, ReadEntry(&p, 255));
    ClosePackage(&p);

    // 257 is refused before the table is read: this file has no table at all.
    WriterOptions over = noList;
    over.countOverride = 257;
    std::string tooMany = WritePackage(dir, over, {}, "over.exe");
    EXPECT_EQ(UPDATE_E_PACKAGE_COUNT, OpenPackage(&p, tooMany.c_str()));
    ClosePackage(&p);
    over.countOverride = 0xFFFFFFFF;
    tooMany = WritePackage(dir, over, {}, "over2.exe");
    EXPECT_EQ(UPDATE_E_PACKAGE_COUNT, OpenPackage(&p, tooMany.c_str()));
    ClosePackage(&p);

    // A count that the table cannot back is a short table read.
    WriterOptions shortTable = noList;
    shortTable.countOverride = 2;
    std::string shortPath =
        WritePackage(dir, shortTable, {PatternEntry("a.bin", "", 10, 1)}, "short.exe");
    EXPECT_EQ(UPDATE_E_PACKAGE, OpenPackage(&p, shortPath.c_str()));
    ClosePackage(&p);

    // Files around the size limits: title block and archive header.
    Bytes whole;
    ASSERT_TRUE(ReadBytes(empty, &whole)); // 0x70410 bytes
    struct SizeCase {
        size_t size;
        bool title;
        uint32_t open;
    } sizes[] = {{0, false, UPDATE_E_PACKAGE},       {0x6FFFF, false, UPDATE_E_PACKAGE},
                 {0x70000, false, UPDATE_E_PACKAGE}, {0x70001, false, UPDATE_E_PACKAGE},
                 {0x703FF, false, UPDATE_E_PACKAGE}, {0x70400, true, UPDATE_E_PACKAGE},
                 {0x7040F, true, UPDATE_E_PACKAGE},  {0x70410, true, UPDATE_OK}};
    for (const SizeCase& c : sizes) {
        std::string path = dir.Join("cut.exe");
        ASSERT_TRUE(WriteBytes(path, Bytes(whole.begin(), whole.begin() + c.size)));
        char title[kTitleBlockSize];
        EXPECT_EQ(c.title, ReadTitleBlockFrom(path.c_str(), title)) << std::hex << c.size;
        EXPECT_EQ(c.open, OpenPackage(&p, path.c_str())) << std::hex << c.size;
        ClosePackage(&p);
    }
    std::string missing = dir.Join("missing.exe");
    char title[kTitleBlockSize];
    EXPECT_FALSE(ReadTitleBlockFrom(missing.c_str(), title));
    EXPECT_EQ(UPDATE_E_PACKAGE, OpenPackage(&p, missing.c_str()));
    ClosePackage(&p);
}

TEST(Package, DamagedEntriesAndBoundedStrings) {
    ScratchFolder dir;
    // A title block without a NUL is cut at its last byte.
    WriterOptions options;
    options.title = std::string(1023, 'T');
    std::vector<WriterEntry> entries = {PatternEntry(std::string(96, 'N'), "", 10, 1),
                                        PatternEntry("past.bin", "", 300, 2)};
    options.pastEndEntry = 1;
    std::string path = WritePackage(dir, options, entries);
    Bytes bytes;
    ASSERT_TRUE(ReadBytes(path, &bytes));
    bytes[0x70000 + 1023] = 'T';
    ASSERT_TRUE(WriteBytes(path, bytes));
    char title[kTitleBlockSize];
    ASSERT_TRUE(ReadTitleBlockFrom(path.c_str(), title));
    EXPECT_EQ(std::string(1023, 'T'), title);

    Package p{};
    ASSERT_EQ(UPDATE_OK, OpenPackage(&p, path.c_str()));
    char name[kLongNameSize + 1];
    GetEntryName(p, 1, name); // fills its 96-byte field, no NUL
    EXPECT_EQ(std::string(96, 'N'), name);
    // The last entry claims one byte more than the file holds: the read is short.
    EXPECT_EQ(301u, GetEntrySize(p, 2));
    ASSERT_TRUE(SeekToEntry(&p, 2));
    Bytes chunk(301);
    EXPECT_EQ(300u, p.file.Read(chunk.data(), 301));
    ClosePackage(&p);

    // Short entries bound names to 16 bytes.
    WriterOptions shortOptions;
    shortOptions.magic = "SHORT ENTRY!";
    path =
        WritePackage(dir, shortOptions, {PatternEntry("0123456789ABCDEF", "", 5, 3)}, "short.exe");
    ASSERT_EQ(UPDATE_OK, OpenPackage(&p, path.c_str()));
    GetEntryName(p, 1, name);
    EXPECT_STREQ("0123456789ABCDEF", name);
    ClosePackage(&p);

    // Offsets that put the entry at 2 GiB or beyond, or wrap 32 bits, are unreadable.
    path =
        WritePackage(dir, WriterOptions(),
                     {PatternEntry("a.bin", "", 5, 3), PatternEntry("b.bin", "", 5, 4)}, "far.exe");
    ASSERT_TRUE(ReadBytes(path, &bytes));
    const uint32_t offsets[] = {0x80000000u - 0x70410u - 3 * 128, 0xFFFFFFF0u};
    for (uint32_t offset : offsets) {
        size_t at = 0x70410 + 128 + 96; // entry 1's offset field
        for (int i = 0; i < 4; i++)
            bytes[at + i] = (unsigned char)(offset >> (8 * i));
        ASSERT_TRUE(WriteBytes(path, bytes));
        ASSERT_EQ(UPDATE_OK, OpenPackage(&p, path.c_str()));
        EXPECT_FALSE(SeekToEntry(&p, 1)) << std::hex << offset;
        EXPECT_TRUE(SeekToEntry(&p, 2));
        ClosePackage(&p);
    }
}

TEST(Package, VersionListEntryFoundInAnyCase) {
    struct Case {
        std::vector<std::string> names;
        int expected;
    } cases[] = {
        {{"KRN.hvl", "a.bin"}, 0},
        {{"a.bin", "krn.HVL"}, 1},
        {{"a.bin", "kRn.hVl", "KRN.HVL"}, 1}, // the first wins
        {{"krn.hvl.bak", "krn_hvl", " krn.hvl"}, -1},
        {{Sjis("ｋｒｎ.hvl")}, -1}, // full-width letters are other characters
    };
    for (const Case& c : cases) {
        ScratchFolder dir;
        WriterOptions options;
        options.listVersion = 0;
        std::vector<WriterEntry> entries;
        for (const std::string& n : c.names)
            entries.push_back(PatternEntry(n, "", 20, 5));
        std::string path = WritePackage(dir, options, entries);
        Package p{};
        ASSERT_EQ(UPDATE_OK, OpenPackage(&p, path.c_str()));
        EXPECT_EQ(c.expected, FindVersionListEntry(p)) << c.names[0];
        ClosePackage(&p);
    }
}

TEST(PackageWriter, RefusalsAndDeterminism) {
    std::vector<WriterEntry> entries = {PatternEntry("a.bin", "a.bin", 100, 1)};
    Bytes out;
    std::string error;
    EXPECT_FALSE(BuildPackage(Bytes(0x70000, 1), WriterOptions(), entries, &out, &error));
    EXPECT_FALSE(error.empty());
    ASSERT_TRUE(BuildPackage(Bytes(0x6FFFF, 1), WriterOptions(), entries, &out, &error));
    EXPECT_EQ(0, out[0x6FFFF]); // padding up to the title block
    ASSERT_TRUE(BuildPackage(Bytes(), WriterOptions(), entries, &out, &error)); // all padding
    EXPECT_EQ(0, out[0]);

    WriterOptions longTitle;
    longTitle.title = std::string(1024, 't');
    EXPECT_FALSE(BuildPackage(Stub(), longTitle, entries, &out, &error));
    WriterOptions badMagic;
    badMagic.magic = "SHORT";
    EXPECT_FALSE(BuildPackage(Stub(), badMagic, entries, &out, &error));
    EXPECT_FALSE(BuildPackage(Stub(), WriterOptions(),
                              {PatternEntry(std::string(97, 'n'), "", 1, 1)}, &out, &error));
    WriterOptions shortEntries;
    shortEntries.magic = "............";
    EXPECT_FALSE(BuildPackage(Stub(), shortEntries, {PatternEntry(std::string(17, 'n'), "", 1, 1)},
                              &out, &error));
    EXPECT_FALSE(BuildPackage(Stub(), WriterOptions(),
                              {PatternEntry("a", std::string(249, 'p'), 1, 1)}, &out, &error));
    WriterOptions v1;
    v1.listVersion = 1;
    EXPECT_FALSE(
        BuildPackage(Stub(), v1, {PatternEntry("a", std::string(57, 'p'), 1, 1)}, &out, &error));
    EXPECT_TRUE(
        BuildPackage(Stub(), v1, {PatternEntry("a", std::string(56, 'p'), 1, 1)}, &out, &error));

    // Same input, same bytes; the file form equals the built form and leaves no temporary.
    ScratchFolder dir;
    WriterOptions options;
    options.title = "T";
    Bytes first, second, file;
    ASSERT_TRUE(BuildPackage(Stub(), options, entries, &first, &error));
    ASSERT_TRUE(BuildPackage(Stub(), options, entries, &second, &error));
    EXPECT_EQ(first, second);
    std::string path = dir.Join("p.exe");
    ASSERT_TRUE(WriteText(path, "an older package"));
    ASSERT_TRUE(WritePackageFile(path, Stub(), options, entries, &error)) << error;
    ASSERT_TRUE(ReadBytes(path, &file));
    EXPECT_EQ(first, file);
    EXPECT_EQ(std::vector<std::string>{"p.exe"}, ListFolder(dir.path));

    WriterOptions cut = options;
    cut.truncateBy = 30;
    ASSERT_TRUE(BuildPackage(Stub(), cut, entries, &second, &error));
    EXPECT_EQ(first.size() - 30, second.size());
    EXPECT_TRUE(std::equal(second.begin(), second.end(), first.begin()));
}

} // namespace
