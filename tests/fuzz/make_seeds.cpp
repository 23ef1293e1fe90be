// Writes the seed corpora of the fuzz targets: small patches made by the
// package writer, version lists taken from them, and a few texts and names.
// Usage: fuzz_seeds <corpus folder>; each target gets a sub-folder.
#include "fuzz_support.h"
#include "package.h"
#include <stdio.h>
#include <sys/stat.h>

static std::string gRoot;

static void Seed(const char* target, const char* name, const Bytes& bytes) {
    std::string folder = gRoot + "/" + target;
    mkdir(folder.c_str(), 0777);
    FILE* f = fopen((folder + "/" + name).c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        fprintf(stderr, "cannot write seed %s/%s\n", target, name);
        exit(1);
    }
    fclose(f);
}

static uint32_t Le32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The version list: the writer puts it first.
static Bytes ListOf(const Bytes& patch) {
    uint32_t count = Le32(&patch[kArchiveOffset + 12]);
    const unsigned char* first = &patch[kArchiveOffset + kArchiveHeaderSize];
    size_t start = kArchiveOffset + kArchiveHeaderSize + (size_t)count * kLongEntrySize +
                   Le32(first + kLongNameSize);
    return Bytes(patch.begin() + start, patch.begin() + start + Le32(first + kLongNameSize + 4));
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    gRoot = argv[1];
    mkdir(gRoot.c_str(), 0777);
    WriterOptions options;
    options.title = Sjis("クイルミア 更新");
    std::vector<WriterEntry> two = {PatternEntry("system.arc", "system.arc", 40, 1),
                                    PatternEntry("data01000.arc", "Archive\\data01000.arc", 30, 2)};
    std::vector<WriterEntry> kana = {
        PatternEntry(Sjis("ソフト.dat"), Sjis("表\\ソフト.dat"), 20, 3),
        PatternEntry("x.tmp", "x.tmp", 5, 4)};
    std::vector<WriterEntry> unlisted = {PatternEntry("a.dat", "a.dat", 10, 5),
                                         PatternEntry("free.txt", "", 8, 6)};
    std::vector<WriterEntry> bad = two;
    bad[1].wrongDigest = true;
    Bytes patchTwo = BuildSeedPatch(options, two);
    Bytes patchKana = BuildSeedPatch(options, kana);
    WriterOptions v1 = options;
    v1.listVersion = 1;
    Bytes patchV1 = BuildSeedPatch(v1, two);
    const Bytes payloads[] = {PayloadOf(patchTwo), PayloadOf(patchKana), PayloadOf(patchV1),
                              PayloadOf(BuildSeedPatch(options, unlisted)),
                              PayloadOf(BuildSeedPatch(options, bad))};
    const char* names[] = {"two", "kana", "v1", "unlisted", "bad_digest"};
    for (size_t i = 0; i < 5; i++) {
        Seed("package", names[i], payloads[i]);
        Seed("inspect", names[i], payloads[i]);
        Bytes quiet(1, 0), cancel(1, 1 + 5 * 3); // cancel at the third pump
        quiet.insert(quiet.end(), payloads[i].begin(), payloads[i].end());
        cancel.insert(cancel.end(), payloads[i].begin(), payloads[i].end());
        Seed("update", names[i], quiet);
        if (i == 0) Seed("update", "cancel", cancel);
    }
    Seed("version_list", "v2", ListOf(patchTwo));
    Seed("version_list", "v1", ListOf(patchV1));
    Seed("version_list", "kana", ListOf(patchKana));

    const std::string nul2(2, '\0');
    Seed("uninstall_list", "crlf",
         ToBytes("System.arc\r\n  archive\\Data.arc\r\n$dollar\n" + nul2 +
                 "new.dat\nArchive\\data01000.arc"));
    Seed("uninstall_list", "sjis",
         ToBytes(Sjis("表\\ソフト.dat\nｿﾌﾄ.dat\n") + nul2 + Sjis("ﾃｸ.dat\n表\\ソフト.dat")));
    Seed("uninstall_list", "utf8", ToBytes("\xEF\xBB\xBF表\\ソフト.dat\n" + nul2 + "a.txt"));

    Seed("text", "sjis", ToBytes(Sjis("表示ソフト ｱｲｳ ＡＢＣ Ⅰ")));
    Seed("text", "utf8", ToBytes("表示ソフト ÄÖ ±"));
    Seed("text", "kana_pairs", ToBytes("\xC3\xB8\xC2\xA7\xC3\xB8\xED\x40"));

    Seed("install_names", "plain", ToBytes("KRN.hvl\nsystem.arc\nArchive\\data01000.arc\na.dat"));
    Seed("install_names", "sjis",
         ToBytes(Sjis("表\\ソフト.dat\nＡ.txt\nⅰ.txt\n") + "\xED\x40.dat"));

    Seed("path_parts", "narrow", ToBytes("\x01" + Sjis("C:\\ゲーム\\表\\KRNForInstalling.exe")));
    Bytes wide(1, 0);
    for (const char* p = "C:\\Temp\\KRN_000001.exe"; *p; p++) {
        wide.push_back((unsigned char)*p);
        wide.push_back(0);
    }
    Seed("path_parts", "wide", wide);
    return 0;
}
