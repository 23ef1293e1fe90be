// The whole update natively: the first input byte picks what the user or the
// system does at which pump, the rest is the payload of the patch. Whatever
// the package holds, nothing outside the install folder changes, no temporary
// file stays, success means every entry is in place with the digest its list
// promised, and a failure before the move phase leaves the installation as it was.
#include "digest.h"
#include "fake_progress.h"
#include "fuzz_support.h"
#include "package.h"
#include "result_codes.h"
#include "update_procedure.h"
#include "version_list.h"
#include <iconv.h>
#include <string.h>

// An entry as the updater will install it, read with the updater's own readers.
struct Planned {
    std::string installName; // Shift-JIS, backslashes
    Bytes data;
    bool listed;
    unsigned char expected[kDigestSize];
};

static bool PlanEntries(const std::string& patch, std::vector<Planned>* plan) {
    Package package{};
    if (OpenPackage(&package, patch.c_str()) != UPDATE_OK) return false;
    int listIndex = FindVersionListEntry(package);
    PackageList list = {nullptr, 0};
    if (listIndex >= 0) ReadPackageList(&list, &package, (uint32_t)listIndex);
    bool ok = true;
    for (uint32_t i = 0; i < package.count && ok; i++) {
        if ((int)i == listIndex) continue;
        Planned p;
        char name[kLongNameSize + 1];
        GetEntryName(package, i, name);
        const VersionRecord* record = FindByFileName(list, name);
        p.installName = record ? record->path : name;
        p.listed = record != nullptr;
        if (record) memcpy(p.expected, record->digest, kDigestSize);
        // An entry longer than the payload cannot be installed: no need to read it.
        uint32_t size = GetEntrySize(package, i);
        ok = size <= (1u << 20) && SeekToEntry(&package, i);
        if (ok) p.data.resize(size);
        ok = ok && (size == 0 || package.file.Read(p.data.data(), size) == size);
        plan->push_back(p);
    }
    FreePackageList(&list);
    ClosePackage(&package);
    return ok;
}

// The host's spelling of a program path (UTF-8, '/'), as the file layer makes it.
static std::string HostName(const std::string& sjis) {
    static iconv_t cd = iconv_open("UTF-8", "CP932");
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string out(sjis.size() * 3 + 4, '\0');
    char* in = const_cast<char*>(sjis.data());
    size_t inLeft = sjis.size(), outLeft = out.size();
    char* o = &out[0];
    if (iconv(cd, &in, &inLeft, &o, &outLeft) == (size_t)-1) return std::string();
    out.resize(out.size() - outLeft);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

static bool EndsWithTmp(const std::string& path) {
    return path.size() > 4 && strcasecmp(path.c_str() + path.size() - 4, ".tmp") == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    ScratchFolder root;
    std::string install = root.Join("install");
    FUZZ_CHECK(MakeFolder(install) && MakeFolder(install + "\\Archive") &&
               MakeFolder(root.Join("outside")));
    Bytes system = PatternBytes(300, 1), archive = PatternBytes(200, 2);
    FUZZ_CHECK(WriteBytes(install + "\\system.arc", system));
    FUZZ_CHECK(WriteBytes(install + "\\Archive\\data01000.arc", archive));
    FUZZ_CHECK(WriteBytes(
        install + "\\KRN.hvl",
        VersionListBytes({{"system.arc", system}, {"Archive\\data01000.arc", archive}})));
    FUZZ_CHECK(WriteText(install + "\\uninst.lst", "system.arc\r\narchive\\data01000.arc\r\n"));
    FUZZ_CHECK(WriteText(root.Join("outside\\keep.dat"), "keep"));
    std::string patch = root.Join("patch.exe");
    FUZZ_CHECK(WritePatchFile(patch, data + 1, size - 1));
    std::vector<Planned> plan;
    bool planned = PlanEntries(patch, &plan);

    Snapshot before = TakeSnapshot(root.path);
    ResetFake();
    gFake.action = (PumpAction)(data[0] % 5);
    gFake.actAt = data[0] / 5 % 16; // 0: never
    uint32_t result = InstallPackage(install.c_str(), patch.c_str());
    Snapshot after = TakeSnapshot(root.path);

    std::vector<std::string> installed; // host paths below the install folder
    for (const Planned& p : plan)
        installed.push_back("install/" + HostName(p.installName));
    for (const auto& item : after) {
        if (item.first.compare(0, 8, "install/") != 0) {
            FUZZ_CHECK(before.count(item.first) && before[item.first] == item.second);
            continue;
        }
        if (EndsWithTmp(item.first) && !before.count(item.first))
            FUZZ_CHECK(result == UPDATE_OK || result == UPDATE_E_UNINSTALL_LIST ||
                       result == UPDATE_E_FAILED);
        if (EndsWithTmp(item.first) && !before.count(item.first)) {
            bool named = false; // a package may install a file that ends in .tmp
            for (const std::string& name : installed)
                named = named || name == item.first;
            FUZZ_CHECK(named);
        }
    }
    for (const auto& item : before)
        if (item.first.compare(0, 8, "install/") != 0) FUZZ_CHECK(after.count(item.first));

    // These end before the first file is replaced.
    if (result == UPDATE_E_PACKAGE || result == UPDATE_E_PACKAGE_COUNT ||
        result == UPDATE_E_CANCELLED || result == UPDATE_E_CLOSED)
        FUZZ_CHECK(after == before);
    if (result != UPDATE_OK) return 0;

    FUZZ_CHECK(planned);
    InstalledList list = {};
    FUZZ_CHECK(ReadInstalledList(&list, install.c_str()) == UPDATE_OK);
    for (size_t i = 0; i < plan.size(); i++) {
        const Planned& p = plan[i];
        unsigned char digest[kDigestSize] = {0};
        FeedDigest(digest, p.data.data(), p.data.size());
        Bytes onDisk;
        FUZZ_CHECK(ReadBytes(install + "\\" + p.installName, &onDisk));
        FUZZ_CHECK(onDisk == p.data);
        if (!p.listed) continue;
        FUZZ_CHECK(memcmp(digest, p.expected, kDigestSize) == 0); // no success with a bad digest
        int index = FindByPath(list, p.installName.c_str());
        FUZZ_CHECK(index >= 0 && memcmp(list.records[index].digest, digest, kDigestSize) == 0);
    }
    FreeInstalledList(&list);
    return 0;
}
