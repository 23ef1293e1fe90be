// Helpers of the fuzz targets; native only, so plain POSIX calls.
#include "fuzz_support.h"
#include "digest.h"
#include "package.h"
#include "package_writer.h"
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

void FuzzFail(const char* what, const char* file, int line) {
    fprintf(stderr, "invariant broken at %s:%d: %s\n", file, line, what);
    abort();
}

bool WritePatchFile(const std::string& path, const uint8_t* payload, size_t size) {
    std::string host = path; // scratch paths are ASCII: only the separators differ
    for (char& c : host)
        if (c == '\\') c = '/';
    int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    // A stub the tool takes for update.exe, so that verify looks at the payload.
    static const Bytes stub = FakeUpdateStub(4096);
    bool ok = ftruncate(fd, kPayloadOffset) == 0 &&
              pwrite(fd, stub.data(), stub.size(), 0) == (ssize_t)stub.size() &&
              (size == 0 || pwrite(fd, payload, size, kPayloadOffset) == (ssize_t)size);
    return close(fd) == 0 && ok;
}

Bytes PayloadOf(const Bytes& patch) {
    if (patch.size() <= kPayloadOffset) return Bytes();
    return Bytes(patch.begin() + kPayloadOffset, patch.end());
}

Bytes BuildSeedPatch(const WriterOptions& options, const std::vector<WriterEntry>& entries) {
    Bytes out;
    std::string error;
    if (!BuildPackage(Bytes(), options, entries, &out, &error)) {
        fprintf(stderr, "package writer: %s\n", error.c_str());
        abort();
    }
    return out;
}

static void Walk(const std::string& root, const std::string& relative, Snapshot* out) {
    std::string here = relative.empty() ? root : root + "/" + relative;
    DIR* d = opendir(here.c_str());
    if (!d) return;
    while (struct dirent* e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        std::string child = relative.empty() ? e->d_name : relative + "/" + e->d_name;
        struct stat st;
        if (lstat((root + "/" + child).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            (*out)[child + "/"] = Bytes();
            Walk(root, child, out);
        } else {
            Bytes data;
            FILE* f = fopen((root + "/" + child).c_str(), "rb");
            if (f) {
                unsigned char buf[65536];
                size_t n;
                while ((n = fread(buf, 1, sizeof buf, f)) > 0)
                    data.insert(data.end(), buf, buf + n);
                fclose(f);
            }
            // A link is recorded as such, so replacing a file by one shows.
            if (S_ISLNK(st.st_mode)) data.insert(data.begin(), {'@', 'L', '@'});
            (*out)[child] = data;
        }
    }
    closedir(d);
}

Snapshot TakeSnapshot(const std::string& hostFolder) {
    Snapshot out;
    Walk(hostFolder, "", &out);
    return out;
}

static void PutU32(Bytes* out, uint32_t v) {
    for (int i = 0; i < 4; i++)
        out->push_back((unsigned char)(v >> (8 * i)));
}

Bytes VersionListBytes(const std::vector<std::pair<std::string, Bytes>>& files) {
    Bytes out = ToBytes("BHV_V2__");
    PutU32(&out, 0);
    PutU32(&out, (uint32_t)files.size());
    for (const auto& f : files) {
        Bytes record(256, 0);
        memcpy(record.data(), f.first.data(), f.first.size() < 247 ? f.first.size() : 247);
        unsigned char d[kDigestSize] = {0};
        FeedDigest(d, f.second.data(), f.second.size());
        memcpy(record.data() + 248, d, kDigestSize);
        out.insert(out.end(), record.begin(), record.end());
    }
    return out;
}
