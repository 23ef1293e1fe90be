// list and verify: they agree with what the package writer wrote, name every
// kind of damage, notice one flipped byte in any entry, and survive garbage.
#include "authenticode.h"
#include "install_check.h"
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
        {"the list's name in a record of a sub-folder",
         [](WriterOptions*, std::vector<WriterEntry>* e) { (*e)[1].listPath = "Archive\\KRN.hvl"; },
         nullptr, "take the list itself"},
        {"the uninstall list",
         [](WriterOptions*, std::vector<WriterEntry>* e) {
             (*e)[1].name = (*e)[1].listPath = "Uninst.LST";
         },
         nullptr, "uninstall list"},
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
    ASSERT_TRUE(clean.errors.empty() && clean.warnings.empty()) << Joined(clean.warnings);

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

// What is in front of the payload, or whether there is a payload at all,
// said in plain words.
TEST(PatchInspect, TellsWhatIsNotAPatchOrNotOnUpdateExe) {
    WriterOptions options;
    options.title = "t";
    auto patchOn = [&](const Bytes& stub) {
        Bytes patch;
        std::string error;
        EXPECT_TRUE(BuildPackage(stub, options, TwoFiles(), &patch, &error)) << error;
        return patch;
    };
    struct Case {
        const char* what;
        Bytes file;
        bool allowTestTwin;
        const char* error; // null: verifies
    };
    const Case cases[] = {
        {"empty file", Bytes(), false, "this is not a patch"},
        {"text file", ToBytes("BHV_V2__ and more text\n"), false, "this is not a patch"},
        {"bare update.exe", FakeStub(), false, "this is the bare update.exe"},
        {"bare setup.exe", FakeStub(4096, 0x14C, "Setup.exe"), false, "this is not a patch"},
        {"patch on setup.exe", patchOn(FakeStub(4096, 0x14C, "Setup.exe")), false,
         "not update.exe"},
        {"patch on the test twin", patchOn(FakeStub(4096, 0x8664)), false,
         "built on the test twin"},
        {"patch on the test twin, for tests", patchOn(FakeStub(4096, 0x8664)), true, nullptr},
        {"patch on update.exe", patchOn(FakeStub()), false, nullptr},
    };
    for (const Case& c : cases) {
        ToolScratch t;
        ASSERT_TRUE(t.Write("file.exe", c.file));
        PatchReport r;
        ASSERT_TRUE(InspectPatch(t.Path("file.exe"), &r, c.allowTestTwin)) << c.what;
        if (c.error)
            EXPECT_TRUE(Mentions(r.errors, c.error)) << c.what << ":\n" << Joined(r.errors);
        else
            EXPECT_TRUE(r.errors.empty()) << c.what << ":\n" << Joined(r.errors);
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
        // Signed after the payload was appended: in place, so its contents
        // are read, and these 16 bytes are no signature.
        {end, "certificate table has a first entry", nullptr},
        {end - 100, "signed before", nullptr},
        {end - 4, "signed before", nullptr},
        {end + 1, "cut short", nullptr}, // its table ends a byte past the file's end
    };
    for (const Case& c : cases) {
        ToolScratch t;
        PatchReport r;
        auto appendTable = [&](Bytes* p) {
            if (c.offset >= end) p->resize(p->size() + 16, 0x5A);
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

// A DER element: tag, definite length, value.
Bytes Der(unsigned char tag, const Bytes& value) {
    Bytes out = {tag};
    if (value.size() < 0x80) {
        out.push_back((unsigned char)value.size());
    } else {
        out.push_back(0x82);
        out.push_back((unsigned char)(value.size() >> 8));
        out.push_back((unsigned char)value.size());
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The signature's outer layers as a signer lays them out, around one
// SpcIndirectDataContent with the given content type, digest OID and digest.
Bytes SignedDataDer(const Bytes& contentType, const Bytes& digestOid, size_t digestSize) {
    const Bytes kSignedData = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    Bytes digestInfo = Der(0x30, Cat({Der(0x30, Cat({Der(0x06, digestOid), Der(0x05, {})})),
                                      Der(0x04, Bytes(digestSize, 0xD1))}));
    Bytes indirect = Der(0x30, Cat({Der(0x30, Der(0x06, {0x2B, 0x06})), digestInfo}));
    Bytes content = Der(0x30, Cat({Der(0x06, contentType), Der(0xA0, indirect)}));
    Bytes signedData = Der(0x30, Cat({Der(0x02, {1}), Der(0x31, {}), content, Bytes(200, 0x30)}));
    return Der(0x30, Cat({Der(0x06, kSignedData), Der(0xA0, signedData)}));
}

// The hand-written walk to the signed digest: what it accepts, what it names,
// and that a signature cut anywhere is refused without reading past its end.
TEST(PatchInspect, ReadsTheSignedDigest) {
    const Bytes kIndirect = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
    const Bytes kSha256 = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
    const Bytes kSha384 = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
    Bytes indefinite = SignedDataDer(kIndirect, kSha256, 32);
    indefinite[1] = 0x80;
    struct Case {
        Bytes der;
        const char* algorithm; // null: refused
        const char* problem;
    };
    const Case cases[] = {
        {SignedDataDer(kIndirect, kSha256, 32), "SHA-256", nullptr},
        {SignedDataDer(kIndirect, {0x2B, 0x0E, 0x03, 0x02, 0x1A}, 20), "SHA-1", nullptr},
        {SignedDataDer(kIndirect, kSha384, 48), "2.16.840.1.101.3.4.2.2", nullptr}, // not computed
        {SignedDataDer(kIndirect, kSha256, 20), nullptr, "wrong size"},
        {SignedDataDer({0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01}, kSha256, 32),
         nullptr, "something else than a program file"},
        {Der(0x30, Cat({Der(0x06, {0x2A, 0x03}), Der(0xA0, {})})), nullptr, "not PKCS#7"},
        {indefinite, nullptr, "PKCS#7 data is damaged"},
        {{}, nullptr, "PKCS#7 data is damaged"},
    };
    for (const Case& c : cases) {
        SignedDigest sd;
        std::string problem;
        bool read = ReadSignedDigest(c.der.data(), c.der.size(), &sd, &problem);
        EXPECT_EQ(read, c.algorithm != nullptr) << problem;
        if (c.algorithm) {
            EXPECT_EQ(sd.algorithm, c.algorithm);
            EXPECT_EQ(sd.known, c.algorithm[0] == 'S');
            EXPECT_EQ(sd.digest[sd.digestSize - 1], 0xD1);
            EXPECT_TRUE(sd.content > c.der.data() && sd.content + sd.contentSize < &c.der.back());
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        }
    }
    // Cut anywhere, a signature is refused; copies make ASan see any overread.
    Bytes whole = SignedDataDer(kIndirect, kSha256, 32);
    for (size_t n = 0; n < whole.size(); n++) {
        Bytes cut(whole.begin(), whole.begin() + (long)n);
        SignedDigest sd;
        std::string problem;
        EXPECT_FALSE(ReadSignedDigest(cut.data(), cut.size(), &sd, &problem)) << n;
    }

    const struct {
        Bytes table;
        const char* problem; // null: read
    } tables[] = {
        {{0x10, 0, 0, 0, 0, 2, 2, 0, 1, 2, 3, 4, 5, 6, 7, 8}, nullptr},
        {{0x10, 0, 0, 0, 0, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 8}, "type 1"},
        {{0x11, 0, 0, 0, 0, 2, 2, 0, 1, 2, 3, 4, 5, 6, 7, 8}, "first entry of 17 bytes"},
        {{0x10, 0, 0, 0, 0, 2, 2}, "shorter than"},
    };
    for (const auto& t : tables) {
        size_t at = 0, size = 0;
        std::string problem;
        EXPECT_EQ(ReadWinCertificate(t.table.data(), t.table.size(), &at, &size, &problem),
                  t.problem == nullptr);
        if (t.problem)
            EXPECT_NE(problem.find(t.problem), std::string::npos) << problem;
        else
            EXPECT_TRUE(at == 8 && size == 8);
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

// check: each record of an installation's KRN.hvl against its file.
TEST(InstallCheck, TellsOkChangedMissingAndUnsafe) {
    ToolScratch t;
    t.Folder("game");
    t.Folder("game/Archive");
    struct Case {
        const char* recorded; // Shift-JIS path in the list
        const char* onDisk;   // file written under the folder, or null
        bool sameBytes;       // the file holds the bytes whose digest is recorded
        CheckState state;
    };
    const Case cases[] = {
        {"system.arc", "game/system.arc", true, kCheckOk},
        {"Archive\\data01000.arc", "game/Archive/data01000.arc", false, kCheckChanged},
        {"Archive\\data01001.arc", nullptr, true, kCheckMissing},
        {"..\\outside.arc", "outside.arc", true, kCheckUnsafe},
    };
    Bytes list(16 + 4 * 256, 0);
    memcpy(&list[0], "BHV_V2__", 8);
    PutLe32(&list, 12, 4);
    for (size_t i = 0; i < 4; i++) {
        const Case& c = cases[i];
        Bytes bytes = PatternBytes(100 + i, (unsigned)i);
        unsigned char digest[kDigestSize] = {0};
        FeedDigest(digest, bytes.data(), bytes.size());
        memcpy(&list[16 + i * 256], c.recorded, strlen(c.recorded));
        memcpy(&list[16 + i * 256 + 248], digest, kDigestSize);
        if (!c.sameBytes) bytes.push_back(0);
        if (c.onDisk) {
            ASSERT_TRUE(t.Write(c.onDisk, bytes));
        }
    }
    ASSERT_TRUE(t.Write("game/KRN.hvl", list));
    InstallCheck check;
    EXPECT_FALSE(CheckInstallation(t.Path("game"), &check));
    ASSERT_EQ(check.files.size(), 4u);
    for (size_t i = 0; i < 4; i++)
        EXPECT_EQ(check.files[i].state, cases[i].state) << cases[i].recorded;

    // Only an installation whose every file matches passes.
    list.resize(16 + 256);
    PutLe32(&list, 12, 1);
    ASSERT_TRUE(t.Write("game/KRN.hvl", list));
    EXPECT_TRUE(CheckInstallation(t.Path("game"), &check));
    EXPECT_FALSE(CheckInstallation(t.Path("nothing"), &check));
}

#ifdef KRN_TOOL_PATH
// The program itself: exit statuses and where its words go.
int RunTool(const std::string& arguments, const std::string& output) {
    std::string command = std::string(KRN_TOOL_PATH) + " " + arguments + " >" + output + " 2>&1";
    int status = system(command.c_str());
    // Output that is not a terminal never gets a progress line.
    EXPECT_EQ(ReadText(output).find(" MiB read)"), std::string::npos) << arguments;
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

// A signature's image digest is checked against the file: a patch signed
// with a throwaway certificate, then changed at one point at a time.
TEST(PatchTool, SignatureDigestCoversTheFile) {
    if (system("command -v osslsigncode >/dev/null && command -v openssl >/dev/null") != 0)
        GTEST_SKIP() << "osslsigncode or openssl missing (scripts/install-deps.sh installs them)";
    ToolScratch t;
    WriterOptions options;
    options.title = "t";
    Bytes patch;
    std::string error, key = t.Path("k.pem"), cert = t.Path("c.pem"), out = t.Path("out.txt");
    Bytes stub = FakeStub();
    PutLe32(&stub, 0x98 + 92, 16); // NumberOfRvaAndSizes: the signer wants the table's entry
    ASSERT_TRUE(BuildPackage(stub, options, TwoFiles(), &patch, &error)) << error;
    ASSERT_TRUE(t.Write("patch.exe", patch));
    ASSERT_EQ(system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "
                      "'/CN=Throwaway patch signer' -keyout " +
                      key + " -out " + cert + " >/dev/null 2>&1")
                         .c_str()),
              0);
    for (std::string hash : {"sha1", "sha256"})
        ASSERT_EQ(
            system(("osslsigncode sign -h " + hash + " -certs " + cert + " -key " + key + " -in " +
                    t.Path("patch.exe") + " -out " + t.Path(hash + ".exe") + " >/dev/null")
                       .c_str()),
            0);
    Bytes signed256 = t.Read("sha256.exe");
    ImageFacts facts;
    ASSERT_TRUE(ReadImageFacts(signed256.data(), signed256.size(), &facts));
    ASSERT_GE(facts.certOffset, patch.size());
    const unsigned char* header = &signed256[facts.certOffset];
    uint32_t blobEnd = facts.certOffset + (header[0] | header[1] << 8 | header[2] << 16);
    struct Case {
        const char* file;
        size_t flip; // the byte changed; 0: none
        const char* error;
    };
    const Case cases[] = {
        {"sha256.exe", 0, nullptr},
        {"sha1.exe", 0, nullptr},
        {"sha256.exe", kArchiveOffset + 100, "changed after it was signed"},
        {"sha256.exe", patch.size() - 1, "changed after it was signed"},
        {"sha256.exe", facts.checksumAt, nullptr}, // outside the digest
        {"sha256.exe", facts.certOffset + 8, "PKCS#7 data is damaged"},
        {"sha256.exe", blobEnd - 16, "signature over the signed attributes does not verify"},
    };
    for (const Case& c : cases) {
        Bytes file = t.Read(c.file);
        if (c.flip) file[c.flip] ^= 0x20;
        ASSERT_TRUE(t.Write("case.exe", file));
        PatchReport r;
        ASSERT_TRUE(InspectPatch(t.Path("case.exe"), &r));
        std::string what = std::string(c.file) + " flipped at " + std::to_string(c.flip);
        EXPECT_TRUE(r.signature.present) << what;
        if (c.error) {
            EXPECT_TRUE(Mentions(r.errors, c.error)) << what << ":\n" << Joined(r.errors);
            continue;
        }
        EXPECT_TRUE(r.errors.empty()) << what << ":\n" << Joined(r.errors);
        EXPECT_EQ(r.signature.digestMatches, 1) << what;
        EXPECT_EQ(r.signature.signatureValid, 1) << what;
        EXPECT_EQ(r.signature.algorithm, c.file[3] == '1' ? "SHA-1" : "SHA-256");
        EXPECT_EQ(r.signature.signer, "CN=Throwaway patch signer");
    }
    // What the program says: an OK that names what it covers, a plain error.
    EXPECT_EQ(RunTool("verify " + t.Path("sha256.exe"), out), 0);
    EXPECT_NE(ReadText(out).find("chain was not judged"), std::string::npos) << ReadText(out);
    EXPECT_EQ(RunTool("verify --json " + t.Path("sha256.exe"), out), 0);
    EXPECT_NE(ReadText(out).find("\"digestMatches\": true"), std::string::npos) << ReadText(out);
    EXPECT_EQ(RunTool("verify " + t.Path("case.exe"), out), 1);
    // On a terminal, long work shows how far it has got.
    std::string signedPatch = t.Path("sha256.exe"), unpacked = t.Path("unpacked");
    const std::string onTerminal[][2] = {
        {"verify " + signedPatch, "verifying: 100%"},
        {"extract " + signedPatch + " " + unpacked, "extracting: 100%"},
        {"check " + unpacked, "checking: 100%"},
    };
    for (const auto& c : onTerminal) {
        if (system("command -v script >/dev/null") != 0) break;
        std::string command =
            "script -q -c '" + std::string(KRN_TOOL_PATH) + " " + c[0] + "' /dev/null >" + out;
        EXPECT_EQ(system(command.c_str()), 0) << c[0];
        EXPECT_NE(ReadText(out).find(c[1]), std::string::npos) << c[0] << ": " << ReadText(out);
    }
}

// Output levels and machine-readable output: every --json run prints one
// object that a JSON parser accepts, --quiet prints nothing on success.
TEST(PatchTool, JsonQuietAndVersion) {
    ToolScratch t;
    t.Folder("files");
    t.Folder("game");
    ASSERT_TRUE(t.Write("stub.exe", FakeStub()));
    ASSERT_TRUE(t.Write("files/system.arc", PatternBytes(10, 1)));
    Bytes emptyList(16, 0);
    memcpy(&emptyList[0], "BHV_V2__", 8);
    ASSERT_TRUE(t.Write("game/KRN.hvl", emptyList));
    std::string out = t.Path("out.txt"), patch = t.Path("patch.exe");
    ASSERT_EQ(RunTool("build --quiet --stub=" + t.Path("stub.exe") + " --from=" + t.Path("files") +
                          " --out=" + patch + " --title=--beta--",
                      out),
              0)
        << ReadText(out);
    EXPECT_EQ(ReadText(out), "");
    struct Case {
        std::string arguments;
        int status;
        const char* has; // in stdout; "" with status 0 for --quiet: nothing at all
    };
    const Case cases[] = {
        {"list --json " + patch, 0, "\"title\": \"--beta--\""},
        {"verify --json " + patch, 0, "\"state\": \"match\""},
        {"check --json " + t.Path("game"), 0, "\"files\": []"},
        {"show-list --json " + t.Path("game/KRN.hvl"), 0, "\"magic\": \"BHV_V2__\""},
        {"digest --json " + t.Path("files/system.arc") + " " + t.Path("none"), 1, "no such file"},
        {"verify --json " + t.Path("files/system.arc"), 1, "this is not a patch"},
        {"verify --quiet " + patch, 0, ""},
        {"--version", 0, "(commit "},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RunTool(c.arguments, out), c.status) << c.arguments << ReadText(out);
        std::string text = ReadText(out);
        if (*c.has) {
            EXPECT_NE(text.find(c.has), std::string::npos) << c.arguments << ": " << text;
        } else {
            EXPECT_EQ(text, "") << c.arguments;
        }
        if (c.arguments.find("--json") != std::string::npos) {
            EXPECT_EQ(system(("python3 -m json.tool " + out + " >/dev/null").c_str()), 0)
                << c.arguments << ": " << text;
        }
    }
}

// Options are never resolved silently: each complaint names the option, goes
// to stderr alone, and exits with 2; help works for every command.
TEST(PatchTool, CommandLineComplaintsNameTheOption) {
    ToolScratch t;
    ASSERT_TRUE(t.Write("title.txt", ToBytes("t")));
    std::string out = t.Path("out.txt"), err = t.Path("err.txt");
    std::string build = "build --stub s.exe --from f --out p.exe ";
    struct Case {
        std::string arguments;
        int status;
        const char* stderrHas; // null: stderr stays empty
    };
    const Case cases[] = {
        {build + "--title a --title-file " + t.Path("title.txt"), 2, "not both"},
        {build + "--title a --title b", 2, "--title is given twice"},
        {"build --stub --from f --out p.exe --title a", 2, "--stub needs a value"},
        {build + "--title a --frobnicate", 2, "unknown option --frobnicate"},
        {build + "--title", 2, "--title needs a value"},
        {build + "--allow-empty=yes --title a", 2, "--allow-empty takes no value"},
        {"help nonsense", 2, "no command nonsense"},
        {"nonsense", 2, "unknown command nonsense"},
        {"verify", 2, "takes one patch file"},
        {"show-list --help", 0, nullptr},
        {"digest --help", 0, nullptr},
        {"extract --help", 0, nullptr},
        {"help build", 0, nullptr},
    };
    for (const Case& c : cases) {
        std::string command =
            std::string(KRN_TOOL_PATH) + " " + c.arguments + " >" + out + " 2>" + err;
        int status = system(command.c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status) << c.arguments;
        std::string complaint = ReadText(err);
        if (c.stderrHas) {
            EXPECT_EQ(complaint.rfind("krnpatch: ", 0), 0u) << c.arguments << ": " << complaint;
            EXPECT_NE(complaint.find(c.stderrHas), std::string::npos)
                << c.arguments << ": " << complaint;
        } else {
            EXPECT_EQ(complaint, "") << c.arguments;
            EXPECT_NE(ReadText(out).find("usage: krnpatch"), std::string::npos) << c.arguments;
        }
    }
}
#endif

} // namespace
