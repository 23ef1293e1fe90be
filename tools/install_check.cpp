// Compares an installation's files with the digests its KRN.hvl records.
#include "install_check.h"

#include "install_names.h"
#include "patch_text.h"
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string.h>

namespace fs = std::filesystem;

bool DigestFile(const std::string& path, unsigned char (&digest)[kDigestSize], bool* missing,
                ProgressTally* progress) {
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
        AdvanceProgress(progress, (uint64_t)in.gcount());
    }
    return in.eof();
}

// Where a record's file lies, or "" when its path would leave the folder:
// a damaged list must not send the check outside it.
static std::string RecordFile(const std::string& folder, const ListedPath& record) {
    if (!IsSafeInstallName(record.path.c_str())) return std::string();
    std::string relative = SjisToUtf8(record.path);
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return (fs::u8path(folder) / fs::u8path(relative)).u8string();
}

bool CheckInstallation(const std::string& folder, InstallCheck* check, ProgressFn progress,
                       void* context) {
    *check = InstallCheck();
    bool listOk = ReadVersionListFile((fs::u8path(folder) / "KRN.hvl").u8string(), &check->list);
    bool allOk = listOk;
    // A game's files run to gigabytes: the sizes first, for the progress line.
    std::vector<std::string> paths;
    ProgressTally tally;
    tally.report = progress;
    tally.context = context;
    for (const ListedPath& record : check->list.records) {
        paths.push_back(RecordFile(folder, record));
        std::error_code ec;
        uintmax_t size =
            progress && !paths.back().empty() ? fs::file_size(fs::u8path(paths.back()), ec) : 0;
        if (!ec) tally.total += size;
    }
    for (size_t i = 0; i < paths.size(); i++) {
        const ListedPath& record = check->list.records[i];
        CheckedFile file;
        file.path = record.path;
        memcpy(file.expected, record.digest, kDigestSize);
        const std::string& path = paths[i];
        if (path.empty()) {
            file.state = kCheckUnsafe;
        } else {
            bool missing = false;
            if (!DigestFile(path, file.found, &missing, &tally))
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
