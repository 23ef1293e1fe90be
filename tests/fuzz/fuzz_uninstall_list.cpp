// The uninstall list: input is the list's bytes, then two zero bytes, then
// install names split on '\n'. A parsed list written back parses to the same
// entries; a merge that fails leaves the file as it was; one that succeeds
// holds every name, and merging the same names again changes nothing.
#include "fuzz_support.h"
#include "install_names.h"
#include "result_codes.h"
#include "text.h"
#include "uninstall_list.h"
#include <stdlib.h>
#include <string.h>

typedef std::vector<std::string> Lines;

static Lines Texts(const UninstallGroup& group) {
    Lines out;
    for (const UninstallEntry* e = group.first; e; e = e->next)
        out.push_back(e->text);
    return out;
}

static bool Parse(const std::string& text, Lines* ordinary, Lines* dollar) {
    UninstallGroup groups[2] = {};
    bool ok = ParseUninstallList(&groups[0], &groups[1], text.c_str());
    *ordinary = Texts(groups[0]);
    *dollar = Texts(groups[1]);
    FreeUninstallGroup(&groups[0]);
    FreeUninstallGroup(&groups[1]);
    return ok;
}

static void CheckRoundTrip(const ScratchFolder& folder, const std::string& text) {
    UninstallGroup groups[2] = {};
    if (!ParseUninstallList(&groups[0], &groups[1], text.c_str())) {
        FreeUninstallGroup(&groups[0]);
        FreeUninstallGroup(&groups[1]);
        return;
    }
    Lines ordinary = Texts(groups[0]), dollar = Texts(groups[1]);
    std::string path = folder.Join("written.lst");
    FUZZ_CHECK(WriteUninstallList(path.c_str(), groups, 2) == 1);
    Lines ordinary2, dollar2;
    FUZZ_CHECK(Parse(ReadText(path), &ordinary2, &dollar2));
    FUZZ_CHECK(ordinary2 == ordinary && dollar2 == dollar);
}

// Text the reader converts from UTF-8: for such a list the merge is not a
// fixed point, since Shift-JIS bytes that are also UTF-8 read as the latter.
static bool ReadsAsUtf8(const std::string& text) {
    const char* s = text.c_str();
    if (ClassifyText(s) == TEXT_ASCII || !IsWholeUtf8(s)) return false;
    if (strncmp(s, "\xEF\xBB\xBF", 3) == 0) s += 3; // a byte-order mark is dropped first
    char* sjis = nullptr;
    int converted = Utf8ToSjisExact(s, &sjis);
    free(sjis);
    return converted == 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    std::string all((const char*)data, size);
    size_t split = all.find(std::string(2, '\0'));
    std::string list = all.substr(0, split);
    std::vector<std::string> names;
    if (split != std::string::npos) {
        std::string rest = all.substr(split + 2);
        for (size_t at = 0; at <= rest.size() && names.size() < 16;) {
            size_t end = rest.find('\n', at);
            if (end == std::string::npos) end = rest.size();
            std::string name = rest.substr(at, end - at).c_str();
            // Only names the updater installs; "$" names the list's own rules
            // move to another group on the next reading.
            if (IsSafeInstallName(name.c_str()) && name[0] != '$') names.push_back(name);
            at = end + 1;
        }
    }
    std::vector<const char*> table;
    for (const std::string& n : names)
        table.push_back(n.c_str());
    if (CheckInstallNames(table.data(), (uint32_t)table.size()) != UPDATE_OK) table.clear();
    table.push_back(nullptr);

    ScratchFolder folder;
    CheckRoundTrip(folder, list);

    std::string path = folder.Join("uninst.lst");
    FUZZ_CHECK(WriteText(path, list));
    int first = UpdateUninstallList(folder.path.c_str(), table.data());
    std::string after = ReadText(path);
    if (!first) {
        FUZZ_CHECK(after == list);
        return 0;
    }
    Lines ordinary, dollar;
    FUZZ_CHECK(Parse(after, &ordinary, &dollar));
    for (size_t i = 0; table[i]; i++) {
        std::string lowered = table[i];
        LowerAscii(&lowered[0]);
        bool found = false;
        for (const std::string& line : ordinary)
            found = found || line == lowered;
        FUZZ_CHECK(found);
    }
    if (ReadsAsUtf8(after)) return 0;
    FUZZ_CHECK(UpdateUninstallList(folder.path.c_str(), table.data()) == 1);
    FUZZ_CHECK(ReadText(path) == after);
    return 0;
}
