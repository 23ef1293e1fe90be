// Builds payload packages: stub, zero padding to 0x70000, title block, archive
// header, entry table and data, with the version list as the first entry.
#include "package_writer.h"
#include "digest.h"
#include "file_object.h"
#include "file_system.h"
#include "package.h"
#include "version_list.h"
#include <string.h>

static void PutLe32(std::vector<unsigned char>* out, size_t at, uint32_t v) {
    (*out)[at] = (unsigned char)v;
    (*out)[at + 1] = (unsigned char)(v >> 8);
    (*out)[at + 2] = (unsigned char)(v >> 16);
    (*out)[at + 3] = (unsigned char)(v >> 24);
}

static bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

// The list's bytes: header and one record per entry that names a list path.
// A path may fill its field exactly (no NUL), which tests use on purpose.
static bool BuildList(const WriterOptions& options, const std::vector<WriterEntry>& entries,
                      std::vector<unsigned char>* list, std::string* error) {
    bool v2 = options.listVersion == 2;
    size_t recordSize = v2 ? kRecordSize : kV1RecordSize;
    size_t pathSize = v2 ? kRecordPathSize : kV1PathSize;
    uint32_t count = 0;
    for (const WriterEntry& e : entries)
        if (!e.listPath.empty()) count++;
    list->assign(kListHeaderSize + count * recordSize, 0);
    memcpy(list->data(), v2 ? kListMagicV2 : kListMagicV1, 8);
    PutLe32(list, 12, options.listCountOverride ? options.listCountOverride : count);
    size_t at = kListHeaderSize;
    for (const WriterEntry& e : entries) {
        if (e.listPath.empty()) continue;
        if (e.listPath.size() > pathSize)
            return Fail(error, "list path does not fit its field: " + e.listPath);
        memcpy(list->data() + at, e.listPath.data(), e.listPath.size());
        unsigned char digest[kDigestSize] = {};
        FeedDigest(digest, e.data.data(), e.data.size());
        if (e.wrongDigest) digest[0] ^= 1;
        memcpy(list->data() + at + pathSize, digest, kDigestSize);
        at += recordSize;
    }
    return true;
}

bool BuildPackage(const std::vector<unsigned char>& stub, const WriterOptions& options,
                  const std::vector<WriterEntry>& entries, std::vector<unsigned char>* out,
                  std::string* error) {
    if (stub.size() >= kPayloadOffset) return Fail(error, "the program reaches 0x70000");
    if (options.title.size() >= kTitleBlockSize)
        return Fail(error, "the title does not fit its block");
    if (!options.magic.empty() && options.magic.size() != sizeof(kArchiveMagic))
        return Fail(error, "the archive magic must be 12 bytes");
    if (options.listVersion != 0 && options.listVersion != 1 && options.listVersion != 2)
        return Fail(error, "the list version must be 0, 1 or 2");

    bool longEntries =
        options.magic.empty() || memcmp(options.magic.data(), kArchiveMagic, 12) == 0;
    size_t entrySize = longEntries ? kLongEntrySize : kShortEntrySize;
    size_t nameSize = longEntries ? kLongNameSize : kShortNameSize;

    // The table in order: the version list first, then the caller's entries.
    std::vector<unsigned char> list;
    std::vector<const std::string*> names;
    std::vector<const std::vector<unsigned char>*> datas;
    if (options.listVersion) {
        if (!BuildList(options, entries, &list, error)) return false;
        names.push_back(&options.listName);
        datas.push_back(&list);
    }
    for (const WriterEntry& e : entries) {
        names.push_back(&e.name);
        datas.push_back(&e.data);
    }
    size_t count = names.size();
    if (count > 0xFFFF) return Fail(error, "too many entries");
    for (const std::string* name : names)
        if (name->size() > nameSize)
            return Fail(error, "entry name does not fit its field: " + *name);

    size_t tableAt = kArchiveOffset + kArchiveHeaderSize;
    size_t dataStart = tableAt + count * entrySize;
    size_t total = dataStart;
    for (const std::vector<unsigned char>* d : datas)
        total += d->size();
    if (total > 0xFFFFFFFFu) return Fail(error, "the package exceeds 4 GiB");

    out->assign(total, 0);
    // An empty stub has no data pointer to copy from.
    if (!stub.empty()) memcpy(out->data(), stub.data(), stub.size());
    memcpy(out->data() + kPayloadOffset, options.title.data(), options.title.size());
    memcpy(out->data() + kArchiveOffset,
           options.magic.empty() ? kArchiveMagic : options.magic.data(), 12);
    PutLe32(out, kArchiveOffset + 12,
            options.countOverride ? options.countOverride : (uint32_t)count);
    size_t offset = 0;
    for (size_t i = 0; i < count; i++) {
        size_t at = tableAt + i * entrySize;
        memcpy(out->data() + at, names[i]->data(), names[i]->size());
        PutLe32(out, at + nameSize, (uint32_t)offset);
        PutLe32(out, at + nameSize + 4, (uint32_t)datas[i]->size());
        if (!datas[i]->empty())
            memcpy(out->data() + dataStart + offset, datas[i]->data(), datas[i]->size());
        offset += datas[i]->size();
    }

    if (options.truncateBy)
        out->resize(options.truncateBy < out->size() ? out->size() - options.truncateBy : 0);
    // Knob: one caller entry claims a size one byte beyond the end of the file.
    if (options.pastEndEntry >= 0 && (size_t)options.pastEndEntry < entries.size()) {
        size_t i = (size_t)options.pastEndEntry + (options.listVersion ? 1 : 0);
        size_t at = tableAt + i * entrySize;
        size_t start = dataStart; // where its bytes were placed above
        for (size_t k = 0; k < i; k++)
            start += datas[k]->size();
        if (at + entrySize <= out->size() && start <= out->size())
            PutLe32(out, at + nameSize + 4, (uint32_t)(out->size() - start + 1));
    }
    return true;
}

bool WritePackageFile(const std::string& path, const std::vector<unsigned char>& stub,
                      const WriterOptions& options, const std::vector<WriterEntry>& entries,
                      std::string* error) {
    std::vector<unsigned char> bytes;
    if (!BuildPackage(stub, options, entries, &bytes, error)) return false;
    std::string temp = path + ".tmp";
    FileObject file;
    if (!file.Create(temp.c_str())) return Fail(error, "cannot create " + temp);
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        uint32_t part =
            (uint32_t)(bytes.size() - done < kChunkSize ? bytes.size() - done : kChunkSize);
        uint32_t written = file.Write(bytes.data() + done, part);
        ok = written == part;
        done += written;
    }
    if (ok) ok = file.Flush();
    file.Close();
    if (ok) ok = MoveReplace(temp.c_str(), path.c_str());
    if (!ok) {
        DeletePath(temp.c_str());
        return Fail(error, "cannot write " + path);
    }
    return true;
}
