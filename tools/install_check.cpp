// Compares an installation's files with the digests its KRN.hvl records.
#include "install_check.h"

#include "install_names.h"
#include "patch_text.h"
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string.h>

namespace fs = std::filesystem;

bool DigestFile(const std::string& path, unsigned char (&digest)[kDigestSize], bool* missing) {
    memset(digest, 0, sizeof(digest));
    std::error_code ec;
    fs::path host = fs::u8path(path);
    *missing = !fs::exists(host, ec) && !ec;
    std::ifstream in(host, std::ios::binary);
    if (!in || fs::is_directory(host, ec)) return false;
    std::vector<char> chunk(1 << 20);
    while (in) {
        in.read(chunk.data(), (std::streamsize)chunk.size());
        FeedDigest(digest, chunk.data(), (size_t)in.gcount());
    }
    return in.eof();
}

bool CheckInstallation(const std::string& folder, InstallCheck* check) {
    *check = InstallCheck();
    bool listOk = ReadVersionListFile((fs::u8path(folder) / "KRN.hvl").u8string(), &check->list);
    bool allOk = listOk;
    for (const ListedPath& record : check->list.records) {
        CheckedFile file;
        file.path = record.path;
        memcpy(file.expected, record.digest, kDigestSize);
        // A damaged list must not send the check outside the folder.
        if (!IsSafeInstallName(record.path.c_str())) {
            file.state = kCheckUnsafe;
        } else {
            std::string relative = SjisToUtf8(record.path);
            std::replace(relative.begin(), relative.end(), '\\', '/');
            bool missing = false;
            if (!DigestFile((fs::u8path(folder) / fs::u8path(relative)).u8string(), file.found,
                            &missing))
                file.state = missing ? kCheckMissing : kCheckUnreadable;
            else
                file.state =
                    memcmp(file.found, file.expected, kDigestSize) ? kCheckChanged : kCheckOk;
        }
        if (file.state != kCheckOk) allOk = false;
        check->files.push_back(file);
    }
    return allOk;
}

const char* CheckStateName(CheckState state) {
    switch (state) {
    case kCheckOk:
        return "ok";
    case kCheckChanged:
        return "changed";
    case kCheckMissing:
        return "missing";
    case kCheckUnreadable:
        return "unreadable";
    case kCheckUnsafe:
        return "unsafe";
    }
    return "?";
}
