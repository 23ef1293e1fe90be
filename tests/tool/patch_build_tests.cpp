// The build command: a round trip through the updater's own readers, the
// refusals (each with its reason and nothing written) and determinism.
#include "digest.h"
#include "package.h"
#include "file_selection.h"
#include "patch_extract.h"
#include "patch_platform.h"
#include "secure_hash.h"
#include "patch_text.h"
#include "tool_fixture.h"
#include "version_list.h"
#include <functional>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

struct BuildBench : ToolScratch {
    BuildRequest request;
    BuildBench() {
        Folder("files");
        Folder("out");
        Write("stub.exe", FakeStub());
        request.stubPath = Path("stub.exe");
        request.title = "クイルミア 更新パッチ 1.02";
        request.folder = Path("files");
        request.outPath = Path("out/patch.exe");
    }
    bool Build(std::vector<std::string>* problems) {
        BuildSummary summary;
        return BuildPatch(request, &summary, problems);
    }
};

std::string Digest(const Bytes& data) {
    unsigned char digest[kDigestSize] = {0};
    FeedDigest(digest, data.data(), data.size());
    return HexBytes(digest, kDigestSize);
}

TEST(PatchBuild, RoundTripThroughTheUpdatersReaders) {
    BuildBench b;
    // 表 is 0x95 0x5C in Shift-JIS: its trail byte must not split the path.
    b.Folder("files/Archive");
    b.Folder("files/表示");
    Bytes system = PatternBytes(3000, 1), data = PatternBytes(70000, 2), table = PatternBytes(5, 3);
    ASSERT_TRUE(b.Write("files/system.arc", system));
    ASSERT_TRUE(b.Write("files/Archive/data01000.arc", data));
    ASSERT_TRUE(b.Write("files/表示/表.dat", table));
    ASSERT_TRUE(b.Write("files/empty.bin", Bytes()));
    std::vector<std::string> problems;
    ASSERT_TRUE(b.Build(&problems)) << Joined(problems);
    EXPECT_EQ(ListFolder(Sjis(b.Path("out").c_str())), std::vector<std::string>{"patch.exe"});

    PatchReport r;
    ASSERT_TRUE(InspectPatch(b.request.outPath, &r));
    EXPECT_TRUE(r.errors.empty()) << Joined(r.errors);
    EXPECT_EQ(r.title, Sjis("クイルミア 更新パッチ 1.02"));
    EXPECT_TRUE(r.longEntries);
    EXPECT_EQ(r.listIndex, 0);
    EXPECT_EQ(r.listVersion, 2);
    EXPECT_TRUE(r.listSealed);
    // Sorted by install path bytes: 'A' < 'e' < 's' < 0x95.
    struct Expected {
        const char* name;
        const char* path;
        const Bytes* data;
    };
    Bytes none;
    const Expected expected[] = {{"data01000.arc", "Archive\\data01000.arc", &data},
                                 {"empty.bin", "empty.bin", &none},
                                 {"system.arc", "system.arc", &system},
                                 {"表.dat", "表示\\表.dat", &table}};
    ASSERT_EQ(r.entries.size(), 5u);
    EXPECT_EQ(r.entries[0].name, "KRN.hvl");
    EXPECT_EQ(r.entries[0].size, 16u + 4 * 256);
    for (size_t i = 0; i < 4; i++) {
        const InspectedEntry& e = r.entries[i + 1];
        EXPECT_EQ(e.name, Sjis(expected[i].name));
        EXPECT_EQ(e.installName, Sjis(expected[i].path));
        EXPECT_EQ(e.size, expected[i].data->size());
        EXPECT_EQ(HexBytes(e.expected, kDigestSize), Digest(*expected[i].data)) << e.name;
        EXPECT_EQ(HexBytes(e.digest, kDigestSize), Digest(*expected[i].data)) << e.name;
    }

    // The updater's package reader sees the same: the list first, records
    // found by file-name part in any letter case.
    Package package{};
    ASSERT_EQ(OpenPackage(&package, Sjis(b.Path("out/patch.exe").c_str()).c_str()), UPDATE_OK);
    EXPECT_EQ(FindVersionListEntry(package), 0);
    PackageList list = {nullptr, 0};
    ReadPackageList(&list, &package, 0);
    ASSERT_EQ(list.count, 4u);
    const VersionRecord* found = FindByFileName(list, "DATA01000.ARC");
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->path, "Archive\\data01000.arc");
    found = FindByFileName(list, Sjis("表.dat").c_str());
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::string(found->path), Sjis("表示\\表.dat"));
    FreePackageList(&list);
    ClosePackage(&package);

    // The stub lies at the start, zeros up to the title block.
    Bytes patch = b.Read("out/patch.exe");
    Bytes stub = FakeStub();
    ASSERT_GT(patch.size(), (size_t)kArchiveOffset);
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), patch.begin()));
    EXPECT_TRUE(std::all_of(patch.begin() + stub.size(), patch.begin() + kPayloadOffset,
                            [](unsigned char c) { return c == 0; }));
}

TEST(PatchBuild, ExtractGivesBackTheFolder) {
    BuildBench b;
    b.Folder("files/Archive");
    b.Folder("files/表示");
    ASSERT_TRUE(b.Write("files/system.arc", PatternBytes(3000, 1)));
    ASSERT_TRUE(b.Write("files/Archive/data01000.arc", PatternBytes(5000, 2)));
    ASSERT_TRUE(b.Write("files/表示/表.dat", Bytes()));
    std::vector<std::string> problems;
    ASSERT_TRUE(b.Build(&problems)) << Joined(problems);
    uint32_t files = 0;
    ASSERT_TRUE(ExtractPatch(b.request.outPath, b.Path("unpacked"), false, &files, &problems))
        << Joined(problems);
    EXPECT_EQ(files, 4u);
    for (const char* name : {"system.arc", "Archive/data01000.arc", "表示/表.dat"})
        EXPECT_TRUE(b.Read(std::string("files/") + name) == b.Read(std::string("unpacked/") + name))
            << name;
    EXPECT_EQ(b.Read("unpacked/KRN.hvl").size(), 16u + 3 * 256);

    // A patch that does not verify is not unpacked at all.
    Bytes patch = b.Read("out/patch.exe");
    patch.back() ^= 1;
    ASSERT_TRUE(b.Write("out/patch.exe", patch));
    problems.clear();
    EXPECT_FALSE(ExtractPatch(b.request.outPath, b.Path("again"), false, &files, &problems));
    EXPECT_TRUE(Mentions(problems, "does not verify"));
    EXPECT_FALSE(PathExists(Sjis(b.Path("again").c_str())));
}

// The destination decides: nothing is written into an installation, into
// "", or into a folder that holds something unless that is asked for.
TEST(PatchBuild, ExtractRefusesFoldersItWouldSpoil) {
    BuildBench b;
    ASSERT_TRUE(b.Write("files/system.arc", PatternBytes(30, 1)));
    std::vector<std::string> problems;
    ASSERT_TRUE(b.Build(&problems)) << Joined(problems);
    struct Case {
        const char* folder; // below the scratch folder; null: ""
        const char* holds;  // a file put there first, or null
        bool intoExisting;
        const char* reason; // null: extracted
    };
    const Case cases[] = {
        {nullptr, nullptr, true, "empty text"},       {"used", "notes.txt", false, "not empty"},
        {"used2", "notes.txt", true, nullptr},        {"game", "KRN.hvl", true, "holds KRN.hvl"},
        {"game2", "krn.HVL", false, "holds KRN.hvl"}, {"fresh", nullptr, false, nullptr},
    };
    for (const Case& c : cases) {
        std::string folder = c.folder ? b.Path(c.folder) : std::string();
        if (c.holds) {
            b.Folder(c.folder);
            b.Write(std::string(c.folder) + "/" + c.holds, ToBytes("keep"));
        }
        uint32_t files = 0;
        problems.clear();
        bool ok = ExtractPatch(b.request.outPath, folder, c.intoExisting, &files, &problems);
        EXPECT_EQ(ok, c.reason == nullptr) << (c.folder ? c.folder : "\"\"") << Joined(problems);
        if (c.reason) {
            EXPECT_TRUE(Mentions(problems, c.reason)) << Joined(problems);
            EXPECT_EQ(files, 0u);
        }
        if (c.holds) {
            EXPECT_TRUE(b.Read(std::string(c.folder) + "/" + c.holds) == ToBytes("keep"));
        }
    }
}

#ifndef _WIN32
// A build killed by a signal half-way through takes its temporary file with it.
TEST(PatchBuild, InterruptedBuildLeavesNothing) {
    BuildBench b;
    ASSERT_TRUE(b.Write("files/big.arc", PatternBytes(3 << 20, 1)));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        InstallExitCleanup();
        b.request.progress = [](uint64_t done, uint64_t total, void*) {
            if (done > total / 2) raise(SIGINT); // while the patch is being written
        };
        std::vector<std::string> problems;
        b.Build(&problems);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_TRUE(ListFolder(Sjis(b.Path("out").c_str())).empty());
}

// A backslash is a plain character of a Linux name: the file verified is the
// file written.
TEST(PatchBuild, OutputNameWithABackslashIsTheFileVerified) {
    BuildBench b;
    ASSERT_TRUE(b.Write("files/system.arc", PatternBytes(30, 1)));
    b.request.outPath = b.Path("out/v1\\patch.exe");
    std::vector<std::string> problems;
    ASSERT_TRUE(b.Build(&problems)) << Joined(problems);
    PatchReport r;
    ASSERT_TRUE(InspectPatch(b.request.outPath, &r)) << Joined(r.errors);
    EXPECT_TRUE(r.errors.empty()) << Joined(r.errors);
}
#endif

TEST(PatchBuild, ExcludePatterns) {
    struct Case {
        const char* pattern;
        const char* path;
        bool matches;
    };
    const Case cases[] = {
        {"Thumbs.db", "Archive/thumbs.DB", true}, // any depth, any letter case
        {".git", ".git", true},
        {".git", "src/.git", true},
        {".git", "a.git", false},
        {"*.bak", "Archive/x.bak", true},
        {"*.bak", "x.bak/y", true}, // the folder
        {"Archive/*.arc", "Archive/d.arc", true},
        {"Archive/*.arc", "Archive/sub/d.arc", false}, // '*' stops at '/'
        {"*~", "system.arc~", true},
        {"d?.arc", "d1.arc", true},
        {"d?.arc", "d12.arc", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MatchesExclude(c.pattern, c.path), c.matches) << c.pattern << " " << c.path;
}

// A release diff: only what differs from the base goes in, what the base
// had and the folder lost is named, litter stays out, a dry run writes nothing.
TEST(PatchBuild, ReleaseDiffAgainstABase) {
    BuildBench b;
    for (const char* folder : {"base", "base/Archive", "files/Archive", "files/.svn"})
        b.Folder(folder);
    const struct {
        const char* base; // null: not in the base
        const char* now;  // null: removed since
        const char* path;
    } files[] = {
        {"same", "same", "system.arc"},
        {"old", "new", "Archive/data01000.arc"},
        {nullptr, "added", "Archive/data01001.arc"},
        {"gone", nullptr, "Archive/old.arc"},
        {nullptr, "litter", "Thumbs.db"},
        {nullptr, "litter", ".svn/entries"},
    };
    for (const auto& f : files) {
        if (f.base) b.Write(std::string("base/") + f.path, ToBytes(f.base));
        if (f.now) b.Write(std::string("files/") + f.path, ToBytes(f.now));
    }
    b.request.basePath = b.Path("base");
    b.request.dryRun = true;
    BuildSummary summary;
    std::vector<std::string> problems;
    ASSERT_TRUE(BuildPatch(b.request, &summary, &problems)) << Joined(problems);
    EXPECT_TRUE(ListFolder(Sjis(b.Path("out").c_str())).empty());
    ASSERT_EQ(summary.planned.size(), 2u);
    EXPECT_EQ(summary.planned[0].shownPath, "Archive/data01000.arc");
    EXPECT_EQ(summary.planned[1].shownPath, "Archive/data01001.arc");
    EXPECT_EQ(summary.unchanged, 1u);
    EXPECT_EQ(summary.removed, std::vector<std::string>{"Archive/old.arc"});
    EXPECT_EQ(summary.excluded.size(), 2u) << Joined(summary.excluded);
    EXPECT_EQ(summary.folders, std::vector<std::string>{"Archive"});

    b.request.dryRun = false;
    ASSERT_TRUE(BuildPatch(b.request, &summary, &problems)) << Joined(problems);
    PatchReport r;
    ASSERT_TRUE(InspectPatch(b.request.outPath, &r));
    EXPECT_TRUE(r.errors.empty()) << Joined(r.errors);
    EXPECT_EQ(r.entries.size(), 3u);
}

// The SHA-256 printed for publishing is that of the whole file written.
TEST(PatchBuild, Sha256OfTheFinishedPatch) {
    struct Case {
        Bytes data;
        const char* hex;
    };
    const Case cases[] = {
        {Bytes(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {ToBytes("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    for (const Case& c : cases) {
        SecureHash sha;
        unsigned char digest[kMaxHashSize];
        ASSERT_TRUE(HashBegin(&sha, kHashSha256));
        HashFeed(&sha, c.data.data(), c.data.size());
        ASSERT_TRUE(HashEnd(&sha, digest));
        EXPECT_EQ(HexBytes(digest, kSha256Size), c.hex);
    }
    BuildBench b;
    ASSERT_TRUE(b.Write("files/system.arc", PatternBytes(3 << 20, 1)));
    BuildSummary summary;
    std::vector<std::string> problems;
    ASSERT_TRUE(BuildPatch(b.request, &summary, &problems)) << Joined(problems);
    Bytes patch = b.Read("out/patch.exe");
    SecureHash sha;
    unsigned char digest[kMaxHashSize];
    ASSERT_TRUE(HashBegin(&sha, kHashSha256));
    HashFeed(&sha, patch.data(), patch.size());
    ASSERT_TRUE(HashEnd(&sha, digest));
    EXPECT_EQ(summary.sha256, HexBytes(digest, kSha256Size));
}

TEST(PatchBuild, SameInputSameBytes) {
    BuildBench b;
    // The second folder gets the same files created in the opposite order,
    // so directory order cannot leak into the patch.
    const char* names[] = {"b.arc", "a.arc", "Archive/z.arc", "Archive/c.arc", "m.bin"};
    b.Folder("files/Archive");
    b.Folder("again");
    b.Folder("again/Archive");
    for (size_t i = 0; i < 5; i++)
        ASSERT_TRUE(b.Write(std::string("files/") + names[i], PatternBytes(100 + i, (unsigned)i)));
    for (size_t i = 5; i-- > 0;)
        ASSERT_TRUE(b.Write(std::string("again/") + names[i], PatternBytes(100 + i, (unsigned)i)));
    std::vector<std::string> problems;
    ASSERT_TRUE(b.Build(&problems)) << Joined(problems);
    b.request.outPath = b.Path("out/second.exe");
    ASSERT_TRUE(b.Build(&problems)) << Joined(problems);
    b.request.folder = b.Path("again");
    b.request.outPath = b.Path("out/third.exe");
    ASSERT_TRUE(b.Build(&problems)) << Joined(problems);
    Bytes first = b.Read("out/patch.exe");
    EXPECT_FALSE(first.empty());
    EXPECT_TRUE(first == b.Read("out/second.exe"));
    EXPECT_TRUE(first == b.Read("out/third.exe"));
}

TEST(PatchBuild, ReplacesAnOldPatchAndLeavesNoTemporaryFile) {
    BuildBench b;
    ASSERT_TRUE(b.Write("files/system.arc", PatternBytes(10, 1)));
    ASSERT_TRUE(b.Write("out/patch.exe", ToBytes("old")));
    std::vector<std::string> problems;
    ASSERT_TRUE(b.Build(&problems)) << Joined(problems);
    EXPECT_EQ(ListFolder(Sjis(b.Path("out").c_str())), std::vector<std::string>{"patch.exe"});
    EXPECT_GT(b.Read("out/patch.exe").size(), (size_t)kArchiveOffset);
}

TEST(PatchBuild, EmptyFolderOnlyWhenAskedFor) {
    BuildBench b;
    std::vector<std::string> problems;
    EXPECT_FALSE(b.Build(&problems));
    EXPECT_TRUE(Mentions(problems, "--allow-empty")) << Joined(problems);
    b.request.allowEmpty = true;
    problems.clear();
    ASSERT_TRUE(b.Build(&problems)) << Joined(problems);
    PatchReport r;
    ASSERT_TRUE(InspectPatch(b.request.outPath, &r));
    EXPECT_TRUE(r.errors.empty()) << Joined(r.errors);
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].size, 16u);
}

TEST(PatchBuild, TwoHundredFiftyFiveFilesFitAndOneMoreDoesNot) {
    BuildBench b;
    char name[32];
    for (int i = 0; i < 255; i++) {
        snprintf(name, sizeof(name), "files/f%03d.bin", i);
        ASSERT_TRUE(b.Write(name, PatternBytes(3, (unsigned)i)));
    }
    std::vector<std::string> problems;
    ASSERT_TRUE(b.Build(&problems)) << Joined(problems);
    PatchReport r;
    ASSERT_TRUE(InspectPatch(b.request.outPath, &r));
    EXPECT_EQ(r.count, 256u);
    EXPECT_TRUE(r.errors.empty()) << Joined(r.errors);

    ASSERT_TRUE(b.Write("files/f255.bin", PatternBytes(3, 255)));
    b.request.outPath = b.Path("out/more.exe");
    EXPECT_FALSE(b.Build(&problems));
    EXPECT_TRUE(Mentions(problems, "at most 255")) << Joined(problems);
    EXPECT_FALSE(PathExists(Sjis(b.request.outPath.c_str())));
}

// Every refusal: its reason, and nothing in the output folder afterwards.
TEST(PatchBuild, RefusalsWriteNothing) {
    struct Case {
        const char* what;
        std::function<void(BuildBench&)> arrange;
        const char* reason;
        const char* absent = nullptr; // a misleading second reason
    };
    auto stub = [](const Bytes& bytes) {
        return [bytes](BuildBench& b) {
            b.Write("files/x.arc", Bytes(1));
            b.Write("stub.exe", bytes);
        };
    };
    const std::string longName = std::string(92, 'n') + ".arc"; // 96 bytes
    const Case cases[] = {
        {"stub reaching 0x70000", [](BuildBench& b) { b.Write("stub.exe", FakeStub(0x70000)); },
         "must end before 0x70000"},
        {"stub already signed",
         [](BuildBench& b) {
             b.Write("files/x.arc", Bytes(1));
             b.Write("stub.exe", StubWithSecurityDirectory(4096, 16));
         },
         "is signed"},
        {"stub missing", [](BuildBench& b) { b.request.stubPath = b.Path("nothing.exe"); },
         "does not exist"},
        {"stub empty", stub(Bytes()), "is not a Windows program"},
        {"stub a text file", stub(ToBytes("MZ is how it starts\r\n")), "is not a Windows program"},
        {"stub another program", stub(FakeStub(4096, 0x14C, "Setup.exe")), "not update.exe"},
        {"stub the test twin", stub(FakeStub(4096, 0x8664)), "64-bit test twin"},
        {"title with a line end", [](BuildBench& b) { b.request.title = "1.02\nfix"; },
         "control character"},
        {"title with a tab", [](BuildBench& b) { b.request.title = "1.02\tfix"; },
         "control character"},
        {"the uninstall list",
         [](BuildBench& b) {
             b.Write("files/x.arc", Bytes(1));
             b.Write("files/UNINST.LST", Bytes(1));
         },
         "uninst.lst"},
        {"the uninstall list in a sub-folder",
         [](BuildBench& b) {
             b.Folder("files/sub");
             b.Write("files/sub/Uninst.lst", Bytes(1));
         },
         "uninst.lst", "--allow-empty"},
        {"title outside code page 932",
         [](BuildBench& b) { b.request.title = "Quillmere 〜 1.02"; }, "U+301C"},
        {"title with an emoji", [](BuildBench& b) { b.request.title = "patch \xF0\x9F\x98\x80"; },
         "U+1F600"},
        {"title of 1024 bytes",
         [](BuildBench& b) {
             b.request.title.clear();
             for (int i = 0; i < 512; i++)
                 b.request.title += "あ";
         },
         "at most 1023"},
        {"title empty", [](BuildBench& b) { b.request.title.clear(); }, "title is empty"},
        {"entry name of 96 bytes", [&](BuildBench& b) { b.Write("files/" + longName, Bytes(1)); },
         "at most 95"},
        {"names equal in letter case only",
         [](BuildBench& b) {
             b.Folder("files/sub");
             b.Write("files/data.arc", Bytes(1));
             b.Write("files/sub/DATA.ARC", Bytes(1));
         },
         "same file name"},
        {"names equal in full-width letter case",
         [](BuildBench& b) {
             b.Folder("files/sub");
             b.Write("files/Ａ.arc", Bytes(1));
             b.Write("files/sub/ａ.arc", Bytes(1));
         },
         "same file name"},
        {"a file named like the version list",
         [](BuildBench& b) {
             b.Folder("files/sub");
             b.Write("files/sub/Krn.HVL", Bytes(1));
         },
         "KRN.hvl"},
        {"one file on another's temporary file",
         [](BuildBench& b) {
             b.Write("files/x.arc", Bytes(1));
             b.Write("files/x.arc.tmp", Bytes(1));
         },
         "extracted to first"},
        {"empty folder", [](BuildBench&) {}, "--allow-empty"},
        {"output inside the folder",
         [](BuildBench& b) {
             b.Write("files/x.arc", Bytes(1));
             b.request.outPath = b.Path("files/patch.exe");
         },
         "inside the folder"},
        {"output over the stub",
         [](BuildBench& b) {
             b.Write("files/x.arc", Bytes(1));
             b.request.outPath = b.request.stubPath;
         },
         "would replace the stub"},
        {"folder missing", [](BuildBench& b) { b.request.folder = b.Path("nothing"); },
         "does not exist", "--allow-empty"},
#ifndef _WIN32
        // Names and paths Windows cannot even create.
        {"path of 248 bytes",
         [](BuildBench& b) {
             std::string folder = "files";
             for (int i = 0; i < 4; i++) {
                 folder += "/" + std::string(50, (char)('a' + i));
                 b.Folder(folder);
             }
             // 4 * 51 bytes of folders and a 44-byte name: 248 bytes.
             b.Write(folder + "/" + std::string(40, 'y') + ".arc", Bytes(1));
         },
         "at most 247"},
        {"a device name",
         [](BuildBench& b) {
             b.Write("files/system.arc", Bytes(1));
             b.Folder("files/aux");
             b.Write("files/aux/x.arc", Bytes(1));
         },
         "is unsafe"},
        {"a name ending in a dot", [](BuildBench& b) { b.Write("files/x.", Bytes(1)); },
         "is unsafe"},
        {"a name with a colon", [](BuildBench& b) { b.Write("files/a:b", Bytes(1)); }, "is unsafe"},
        {"file name outside code page 932",
         [](BuildBench& b) {
             FILE* f = fopen(b.Path("files/caf\xC3\xA9.arc").c_str(), "wb");
             if (f) fclose(f);
         },
         "U+00E9"},
        {"a name with a backslash",
         [](BuildBench& b) {
             // Around the test support, which would take the backslash for a separator.
             FILE* f = fopen(b.Path("files/a\\b").c_str(), "wb");
             if (f) fclose(f);
         },
         "backslash"},
#endif
    };
    for (const Case& c : cases) {
        BuildBench b;
        c.arrange(b);
        std::string out = Sjis(b.request.outPath.c_str());
        bool existed = PathExists(out);
        Bytes before;
        ReadBytes(out, &before);
        std::vector<std::string> problems;
        EXPECT_FALSE(b.Build(&problems)) << c.what;
        EXPECT_TRUE(Mentions(problems, c.reason)) << c.what << ":\n" << Joined(problems);
        if (c.absent) {
            EXPECT_FALSE(Mentions(problems, c.absent)) << c.what;
        }
        // Nothing new beside the output, and the output as it was.
        EXPECT_TRUE(ListFolder(Sjis(b.Path("out").c_str())).empty()) << c.what;
        EXPECT_EQ(PathExists(out), existed) << c.what;
        Bytes after;
        ReadBytes(out, &after);
        EXPECT_TRUE(before == after) << c.what;
    }
}

TEST(PatchBuild, PayloadReachingTwoGibIsRefusedFromSizesAlone) {
    PatchPlan plan;
    plan.stubSize = 4096;
    plan.title = "t";
    PatchSource big;
    big.installPath = big.entryName = "big.arc";
    big.shownPath = "big.arc";
    // Everything but the file itself: 0x70400, header, two entries, a list of one record.
    uint64_t overhead = kArchiveOffset + 16 + 2 * 128 + 16 + 256;
    big.size = 0x80000000ull - overhead - 1;
    plan.files.push_back(big);
    EXPECT_EQ(PlannedPatchSize(plan), 0x7FFFFFFFull);
    std::vector<std::string> problems;
    CheckPatchPlan(plan, &problems);
    EXPECT_TRUE(problems.empty()) << Joined(problems);
    plan.files[0].size++;
    CheckPatchPlan(plan, &problems);
    EXPECT_TRUE(Mentions(problems, "below 2 GiB")) << Joined(problems);
}

TEST(PatchBuild, TextConversionNamesTheCharacterThatDoesNotFit) {
    struct Case {
        const char* utf8;
        const char* sjis;   // null: refused
        const char* reason; // part of the reason when refused
    };
    const Case cases[] = {
        {"abc", "abc", nullptr},
        {"表", "\x95\x5C", nullptr}, // trail byte 0x5C
        {"～", "\x81\x60", nullptr}, // U+FF5E, the tilde code page 932 holds
        {"ｱｲ", "\xB1\xB2", nullptr}, // half-width katakana, single bytes
        {"〜", nullptr, "U+301C"},   // the wave dash it does not
        {"x\xF0\x9F\x98\x80", nullptr, "U+1F600"},
        {"\xE9t\xE9", nullptr, "not valid UTF-8"},
        {"é", nullptr, "U+00E9"},
    };
    for (const Case& c : cases) {
        std::string sjis, reason;
        bool ok = Utf8ToSjis(c.utf8, &sjis, &reason);
        EXPECT_EQ(ok, c.sjis != nullptr) << c.utf8;
        if (c.sjis) {
            EXPECT_EQ(sjis, c.sjis) << c.utf8;
            EXPECT_EQ(SjisToUtf8(sjis), c.utf8);
        } else {
            EXPECT_NE(reason.find(c.reason), std::string::npos) << c.utf8 << ": " << reason;
        }
    }
}

#ifdef _WIN32
// Paths reach the file layer in the ANSI code page, which may be UTF-8: its
// conversion must not use the flags only the other code pages accept.
TEST(PatchPlatform, PathsConvertExactlyInEveryAnsiCodePage) {
    struct Case {
        unsigned codePage;
        const wchar_t* wide;
        const char* utf8; // what the narrow text reads as; null: refused
    };
    const Case cases[] = {
        {65001, L"C:\\クイルミア\\表.arc", "C:\\クイルミア\\表.arc"},
        {932, L"C:\\クイルミア\\表.arc", "C:\\クイルミア\\表.arc"},
        {932, L"caf\u00E9", nullptr},
        {1252, L"caf\u00E9", nullptr}, // checked below through its bytes
    };
    for (const Case& c : cases) {
        std::string narrow;
        bool ok = WideToCodePageExactly(c.codePage, c.wide, &narrow);
        if (c.codePage == 1252) {
            EXPECT_TRUE(ok && narrow == "caf\xE9");
            continue;
        }
        EXPECT_EQ(ok, c.utf8 != nullptr) << c.codePage;
        if (c.utf8) {
            EXPECT_EQ(c.codePage == 65001 ? narrow : SjisToUtf8(narrow), c.utf8);
        }
    }
}
#endif

} // namespace
