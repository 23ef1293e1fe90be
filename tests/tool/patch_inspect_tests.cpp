// list and verify: they agree with what the package writer wrote, name every
// kind of damage, notice one flipped byte in any entry, and survive garbage.
#include "package.h"
#include "package_writer.h"
#include "patch_text.h"
#include "tool_fixture.h"
#include "version_list.h"
#include <fstream>
#include <functional>
#include <stdlib.h>
#include <string.h>

namespace {

std::vector<WriterEntry> TwoFiles() {
    std::vector<WriterEntry> entries(2);
    entries[0].name = "system.arc";
    entries[0].listPath = "system.arc";
    entries[0].data = PatternBytes(3000, 7);
    entries[1].name = "data01000.arc";
    entries[1].listPath = "Archive\\data01000.arc";
    entries[1].data = PatternBytes(2500, 8);
    return entries;
}

// Writes what the writer makes of options and entries, then inspects it.
bool InspectWritten(const ToolScratch& t, const Bytes& stub, const WriterOptions& options,
                    const std::vector<WriterEntry>& entries,
                    const std::function<void(Bytes*)>& damage, PatchReport* r) {
    Bytes patch;
    std::string error;
    if (!BuildPackage(stub, options, entries, &patch, &error)) {
        ADD_FAILURE() << error;
        return false;
    }
    if (damage) damage(&patch);
    if (!t.Write("patch.exe", patch)) return false;
    return InspectPatch(t.Path("patch.exe"), r);
}

TEST(PatchInspect, AgreesWithWhatTheWriterWrote) {
    ToolScratch t;
    WriterOptions options;
    options.title = Sjis("クイルミア");
    std::vector<WriterEntry> entries = TwoFiles();
    PatchReport r;
    ASSERT_TRUE(InspectWritten(t, FakeStub(), options, entries, nullptr, &r));
    EXPECT_TRUE(r.errors.empty()) << Joined(r.errors);
    // Straight from the writer: no seal, which only costs a warning.
    EXPECT_TRUE(Mentions(r.warnings, "no seal")) << Joined(r.warnings);
    EXPECT_EQ(r.title, options.title);
    EXPECT_EQ(r.magic, std::string("VELMAR ARC20"));
    ASSERT_EQ(r.entries.size(), 3u);
    EXPECT_EQ(r.dataStart, kArchiveOffset + 16 + 3 * kLongEntrySize);
    EXPECT_TRUE(r.entries[0].isList);
    EXPECT_EQ(r.records.size(), 2u);
    uint32_t offset = r.entries[0].size;
    for (size_t i = 0; i < 2; i++) {
        const InspectedEntry& e = r.entries[i + 1];
        EXPECT_EQ(e.name, entries[i].name);
        EXPECT_EQ(e.installName, entries[i].listPath);
        EXPECT_EQ(e.size, entries[i].data.size());
        EXPECT_EQ(e.offset, offset);
        offset += e.size;
        unsigned char digest[kDigestSize] = {0};
        FeedDigest(digest, entries[i].data.data(), entries[i].data.size());
        EXPECT_EQ(memcmp(e.digest, digest, kDigestSize), 0);
        EXPECT_EQ(memcmp(e.expected, digest, kDigestSize), 0);
    }
    EXPECT_EQ(r.payloadEnd, r.fileSize);
}

// Each damage the writer's knobs (or a byte edit) can make, and the words
// verify uses for it. An empty reason: the patch must verify.
TEST(PatchInspect, NamesEveryKindOfDamage) {
    struct Case {
        const char* what;
        std::function<void(WriterOptions*, std::vector<WriterEntry>*)> knobs;
        std::function<void(Bytes*)> damage;
        const char* reason;
        const char* warning = nullptr;
    };
    const size_t table = kArchiveOffset + 16;
    const Case cases[] = {
        {"clean", nullptr, nullptr, ""},
        {"V1 list", [](WriterOptions* o, std::vector<WriterEntry>*) { o->listVersion = 1; },
         nullptr, ""},
        {"list named in another letter case",
         [](WriterOptions* o, std::vector<WriterEntry>*) { o->listName = "krn.HVL"; }, nullptr, ""},
        {"a path leaving little room for the folder",
         [](WriterOptions*, std::vector<WriterEntry>* e) {
             (*e)[1].listPath = std::string(200, 'd') + "\\data01000.arc";
         },
         nullptr, "", "an install folder of only 40 bytes"},
        {"digest off by one bit",
         [](WriterOptions*, std::vector<WriterEntry>* e) { (*e)[1].wrongDigest = true; }, nullptr,
         "but the version list expects"},
        {"257 entries announced",
         [](WriterOptions* o, std::vector<WriterEntry>*) { o->countOverride = 257; }, nullptr,
         "at most 256"},
        {"list count beyond its entry",
         [](WriterOptions* o, std::vector<WriterEntry>*) { o->listCountOverride = 1000; }, nullptr,
         "announces 1000 records"},
        {"list count short of its entry",
         [](WriterOptions* o, std::vector<WriterEntry>*) { o->listCountOverride = 1; }, nullptr,
         "follow its last record"},
        {"file cut short", [](WriterOptions* o, std::vector<WriterEntry>*) { o->truncateBy = 1; },
         nullptr, "past the end of the file"},
        {"entry size past the end",
         [](WriterOptions* o, std::vector<WriterEntry>*) { o->pastEndEntry = 0; }, nullptr,
         "past the end of the file"},
        {"no version list", [](WriterOptions* o, std::vector<WriterEntry>*) { o->listVersion = 0; },
         nullptr, "no entry is named KRN.hvl"},
        {"short-entry layout",
         [](WriterOptions* o, std::vector<WriterEntry>*) { o->magic = "VELMAR ARC21"; }, nullptr,
         "", "32-byte short entries"},
        {"an entry the list does not name",
         [](WriterOptions*, std::vector<WriterEntry>* e) { (*e)[0].listPath.clear(); }, nullptr,
         "no record for it"},
        {"a path climbing out",
         [](WriterOptions*, std::vector<WriterEntry>* e) {
             (*e)[1].listPath = "..\\data01000.arc";
         },
         nullptr, "is unsafe"},
        {"a path with a drive",
         [](WriterOptions*, std::vector<WriterEntry>* e) {
             (*e)[1].listPath = "C:\\data01000.arc";
         },
         nullptr, "is unsafe"},
        {"a device name",
         [](WriterOptions*, std::vector<WriterEntry>* e) {
             (*e)[1].listPath = "Archive\\COM1.arc";
             (*e)[1].name = "COM1.arc";
         },
         nullptr, "is unsafe"},
        {"two entries of one name",
         [](WriterOptions*, std::vector<WriterEntry>* e) {
             (*e)[1].name = "SYSTEM.ARC";
             (*e)[1].listPath.clear();
         },
         nullptr, "would both be installed as"},
        {"two spellings of one character",
         [](WriterOptions*, std::vector<WriterEntry>* e) {
             (*e)[0].name = (*e)[0].listPath = "\xED\x40.arc";
             (*e)[1].name = (*e)[1].listPath = "\xFA\x5C.arc";
         },
         nullptr, "would both be installed as"},
        {"a file where another entry needs its folder",
         [](WriterOptions*, std::vector<WriterEntry>* e) {
             (*e)[0].name = (*e)[0].listPath = "Archive";
         },
         nullptr, "needs a folder"},
        {"a leading blank",
         [](WriterOptions*, std::vector<WriterEntry>* e) {
             (*e)[1].name = (*e)[1].listPath = " data01000.arc";
         },
         nullptr, "is unsafe"},
        {"a pair the code page leaves undefined",
         [](WriterOptions*, std::vector<WriterEntry>* e) {
             (*e)[1].name = (*e)[1].listPath = "\x85\x40.arc";
         },
         nullptr, "is unsafe"},
        // Only the first 16 MiB of the list are read: a count that fits the
        // entry but not them must not walk the records past what was read.
        {"a list entry over 16 MiB",
         [](WriterOptions* o, std::vector<WriterEntry>* e) {
             o->listVersion = 0;
             WriterEntry list;
             list.name = "KRN.hvl";
             list.data.assign(kListHeaderSize + (16u << 20) + kRecordSize, 0);
             memcpy(list.data.data(), kListMagicV2, 8);
             PutLe32(&list.data, 12, (16u << 20) / kRecordSize + 1);
             e->insert(e->begin(), list);
         },
         nullptr, "far more than 256 entries need"},
        {"a second version list",
         [](WriterOptions*, std::vector<WriterEntry>* e) {
             (*e)[1].name = "KRN.HVL";
             (*e)[1].listPath.clear();
         },
         nullptr, "second version list"},
        {"title without NUL", nullptr,
         [](Bytes* p) { memset(&(*p)[kPayloadOffset], 'A', kTitleBlockSize); }, "no NUL"},
        {"bytes behind the title", nullptr, [](Bytes* p) { (*p)[kPayloadOffset + 1000] = 1; },
         "after its text"},
        {"entry name without NUL", nullptr, [=](Bytes* p) { memset(&(*p)[table + 128], 'n', 96); },
         "without a NUL"},
        {"entry offset far out", nullptr,
         [=](Bytes* p) { PutLe32(p, table + 128 + 96, 0x80000000u); }, "past the end of the file"},
        {"file ends at the archive header", nullptr, [](Bytes* p) { p->resize(kArchiveOffset); },
         "ends before the archive header"},
        {"file ends inside the title block", nullptr,
         [](Bytes* p) { p->resize(kPayloadOffset + 10); }, "title block"},
        {"list magic damaged", nullptr,
         [](Bytes* p) { (*p)[kArchiveOffset + 16 + 3 * 128 + 3] ^= 0x20; },
         "neither BHV_V2__ nor BHV_____"},
    };
    for (const Case& c : cases) {
        ToolScratch t;
        WriterOptions options;
        options.title = "t";
        std::vector<WriterEntry> entries = TwoFiles();
        if (c.knobs) c.knobs(&options, &entries);
        PatchReport r;
        ASSERT_TRUE(InspectWritten(t, FakeStub(), options, entries, c.damage, &r)) << c.what;
        if (!*c.reason) {
            EXPECT_TRUE(r.errors.empty()) << c.what << ":\n" << Joined(r.errors);
        } else {
            EXPECT_TRUE(Mentions(r.errors, c.reason)) << c.what << ":\n" << Joined(r.errors);
        }
        if (c.warning) {
            EXPECT_TRUE(Mentions(r.warnings, c.warning)) << c.what;
        }
    }
}

// A patch built by the tool: flip one byte anywhere in the version list, or
// at the start, middle or end of any file, and verify must fail.
TEST(PatchInspect, OneFlippedByteInAnyEntryFailsVerify) {
    BuildRequest request;
    ToolScratch t;
    t.Folder("files");
    t.Folder("files/Archive");
    ASSERT_TRUE(t.Write("stub.exe", FakeStub()));
    ASSERT_TRUE(t.Write("files/system.arc", PatternBytes(4000, 1)));
    ASSERT_TRUE(t.Write("files/Archive/data01000.arc", PatternBytes(3000, 2)));
    ASSERT_TRUE(t.Write("files/one.bin", PatternBytes(1, 3)));
    request.stubPath = t.Path("stub.exe");
    request.title = "t";
    request.folder = t.Path("files");
    request.outPath = t.Path("patch.exe");
    BuildSummary summary;
    std::vector<std::string> problems;
    ASSERT_TRUE(BuildPatch(request, &summary, &problems)) << Joined(problems);
    PatchReport clean;
    ASSERT_TRUE(InspectPatch(request.outPath, &clean));
    ASSERT_TRUE(clean.errors.empty() && clean.warnings.size() == 1) << Joined(clean.warnings);

    // Open and closed for each flip: the updater's file layer shares a file
    // for reading only, so a writer still holding it would lock it out.
    auto flip = [&](uint64_t at) {
        std::fstream file(request.outPath, std::ios::in | std::ios::out | std::ios::binary);
        char c = 0;
        file.seekg((std::streamoff)at);
        file.read(&c, 1);
        c ^= 0x01;
        file.seekp((std::streamoff)at);
        file.write(&c, 1);
        ASSERT_TRUE(file.good());
    };
    int checked = 0;
    for (const InspectedEntry& e : clean.entries) {
        std::vector<uint32_t> positions;
        if (e.isList)
            for (uint32_t i = 0; i < e.size; i++)
                positions.push_back(i);
        else
            positions = {0, e.size / 2, e.size - 1};
        for (uint32_t at : positions) {
            uint64_t position = clean.dataStart + (uint64_t)e.offset + at;
            flip(position);
            PatchReport r;
            ASSERT_TRUE(InspectPatch(request.outPath, &r));
            EXPECT_FALSE(r.errors.empty()) << e.name << " byte " << at;
            flip(position);
            checked++;
        }
    }
    EXPECT_EQ(checked, 16 + 3 * 256 + 3 * 3);
    PatchReport again;
    ASSERT_TRUE(InspectPatch(request.outPath, &again));
    EXPECT_TRUE(again.errors.empty()) << Joined(again.errors);
}

// Garbage in the header and the table must give findings, never a crash
// (the sanitizer build runs this too).
TEST(PatchInspect, SurvivesAnyByteOfHeaderAndTableDamaged) {
    ToolScratch t;
    WriterOptions options;
    options.title = "t";
    Bytes patch;
    std::string error;
    ASSERT_TRUE(BuildPackage(FakeStub(), options, TwoFiles(), &patch, &error)) << error;
    size_t end = kArchiveOffset + 16 + 3 * kLongEntrySize;
    for (size_t at = kArchiveOffset; at < end; at += 3) {
        Bytes damaged = patch;
        damaged[at] ^= 0xFF;
        ASSERT_TRUE(t.Write("patch.exe", damaged));
        PatchReport r;
        EXPECT_TRUE(InspectPatch(t.Path("patch.exe"), &r)) << at;
    }
}

TEST(PatchInspect, TellsASignatureBehindThePayloadFromOneInside) {
    WriterOptions options;
    options.title = "t";
    Bytes unsigned_;
    std::string error;
    ASSERT_TRUE(BuildPackage(FakeStub(), options, TwoFiles(), &unsigned_, &error));
    uint32_t end = (uint32_t)unsigned_.size();

    struct Case {
        uint32_t offset;
        const char* error;
        const char* warning;
    };
    const Case cases[] = {
        {end, nullptr, nullptr}, // signed after the payload was appended
        {end - 100, "signed before", nullptr},
        {end - 4, "signed before", nullptr},
    };
    for (const Case& c : cases) {
        ToolScratch t;
        PatchReport r;
        auto appendTable = [&](Bytes* p) {
            if (c.offset == end) p->resize(p->size() + 16, 0x5A);
        };
        ASSERT_TRUE(InspectWritten(t, StubWithSecurityDirectory(c.offset, 16), options, TwoFiles(),
                                   appendTable, &r));
        EXPECT_EQ(r.machine, 0x14C);
        EXPECT_EQ(r.certOffset, c.offset);
        if (c.error)
            EXPECT_TRUE(Mentions(r.errors, c.error)) << Joined(r.errors);
        else
            EXPECT_TRUE(r.errors.empty()) << Joined(r.errors);
    }
}

TEST(PatchInspect, ReadsVersionListFiles) {
    ToolScratch t;
    Bytes v2(16 + 2 * 256, 0);
    memcpy(&v2[0], "BHV_V2__", 8);
    PutLe32(&v2, 8, 0x1234);
    PutLe32(&v2, 12, 2);
    memcpy(&v2[16], "system.arc", 10);
    v2[16 + 248] = 0xAB;
    std::string path = Sjis("Archive\\表.arc");
    memcpy(&v2[16 + 256], path.data(), path.size());
    ASSERT_TRUE(t.Write("KRN.hvl", v2));
    VersionListFile list;
    ASSERT_TRUE(ReadVersionListFile(t.Path("KRN.hvl"), &list)) << Joined(list.problems);
    EXPECT_EQ(list.reserved, 0x1234u);
    ASSERT_EQ(list.records.size(), 2u);
    EXPECT_EQ(list.records[0].path, "system.arc");
    EXPECT_EQ(list.records[0].digest[0], 0xAB);
    EXPECT_EQ(SjisToUtf8(list.records[1].path), "Archive\\表.arc");

    v2.resize(16 + 256 + 10); // the count promises more than the file holds
    ASSERT_TRUE(t.Write("short.hvl", v2));
    EXPECT_FALSE(ReadVersionListFile(t.Path("short.hvl"), &list));
    EXPECT_TRUE(Mentions(list.problems, "announces 2 records but the file holds 1"));
    EXPECT_EQ(list.records.size(), 1u);

    ASSERT_TRUE(t.Write("tiny.hvl", ToBytes("BHV_V2")));
    EXPECT_FALSE(ReadVersionListFile(t.Path("tiny.hvl"), &list));
    EXPECT_FALSE(ReadVersionListFile(t.Path("missing.hvl"), &list));
}

#ifdef KRN_TOOL_PATH
// The program itself: exit statuses and where its words go.
int RunTool(const std::string& arguments, const std::string& output) {
    std::string command = std::string(KRN_TOOL_PATH) + " " + arguments + " >" + output + " 2>&1";
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PatchTool, ExitStatusesAndMessages) {
    ToolScratch t;
    std::string out = t.Path("out.txt");
    t.Folder("files");
    ASSERT_TRUE(t.Write("stub.exe", FakeStub()));
    ASSERT_TRUE(t.Write("files/system.arc", PatternBytes(10, 1)));
    std::string build = "build --stub " + t.Path("stub.exe") + " --from " + t.Path("files") +
                        " --out " + t.Path("patch.exe");
    EXPECT_EQ(RunTool("", out), 2);
    EXPECT_EQ(RunTool("--help", out), 0);
    EXPECT_NE(ReadText(out).find("verify <patch.exe>"), std::string::npos);
    EXPECT_EQ(RunTool("build --stub x", out), 2);
    EXPECT_EQ(RunTool(build + " --title '〜'", out), 1);
    EXPECT_NE(ReadText(out).find("U+301C"), std::string::npos) << ReadText(out);
    EXPECT_FALSE(PathExists(t.Path("patch.exe")));
    EXPECT_EQ(RunTool(build + " --title 'クイルミア'", out), 0) << ReadText(out);
    EXPECT_EQ(RunTool("verify " + t.Path("patch.exe"), out), 0) << ReadText(out);
    EXPECT_EQ(RunTool("list " + t.Path("patch.exe"), out), 0);
    std::string listing = ReadText(out);
    EXPECT_NE(listing.find("title:     クイルミア"), std::string::npos) << listing;
    EXPECT_NE(listing.find("match     system.arc -> system.arc"), std::string::npos) << listing;
    Bytes patch = t.Read("patch.exe");
    patch.back() ^= 1;
    ASSERT_TRUE(t.Write("patch.exe", patch));
    EXPECT_EQ(RunTool("verify " + t.Path("patch.exe"), out), 1);
    EXPECT_NE(ReadText(out).find("FAILED"), std::string::npos);
}
#endif

} // namespace
