// The install-name check against an independent model of how Windows resolves
// a relative path: names split on '\n'; when the updater accepts the set,
// every name must stay inside the install folder and no two may reach one
// file (or one's temporary file, or one's folder), judged on the characters
// iconv decodes.
#include "fuzz_support.h"
#include "install_names.h"
#include "result_codes.h"
#include <iconv.h>
#include <locale.h>
#include <string.h>
#include <wctype.h>

// The characters of a Shift-JIS name, or false when iconv finds one undefined.
static bool Decode(const std::string& name, std::u32string* out) {
    static iconv_t cd = iconv_open("UTF-32LE", "CP932");
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::vector<char32_t> buffer(name.size() + 1);
    char* in = const_cast<char*>(name.data());
    size_t inLeft = name.size();
    char* outp = (char*)buffer.data();
    size_t outLeft = buffer.size() * sizeof(char32_t);
    if (iconv(cd, &in, &inLeft, &outp, &outLeft) == (size_t)-1) return false;
    out->assign(buffer.data(), (buffer.size() * sizeof(char32_t) - outLeft) / sizeof(char32_t));
    return true;
}

static bool IsDevice(std::u32string stem) {
    static const char* const kDevices[] = {"con",  "prn",  "aux",  "nul",  "conin$", "conout$",
                                           "com1", "com2", "com3", "com4", "com5",   "com6",
                                           "com7", "com8", "com9", "lpt1", "lpt2",   "lpt3",
                                           "lpt4", "lpt5", "lpt6", "lpt7", "lpt8",   "lpt9"};
    size_t dot = stem.find(U'.');
    if (dot != std::u32string::npos) stem.resize(dot);
    while (!stem.empty() && stem.back() == U' ')
        stem.pop_back();
    for (const char* device : kDevices)
        if (stem == std::u32string(device, device + strlen(device))) return true;
    return false;
}

// The name as Windows finds its file: one separator, letters folded. Checks
// on the way that it cannot leave the folder or name a device or stream.
static std::u32string Resolve(const std::string& name) {
    std::u32string chars;
    FUZZ_CHECK(Decode(name, &chars));
    FUZZ_CHECK(!chars.empty() && chars[0] != U' ');
    std::u32string key, component;
    for (size_t i = 0; i <= chars.size(); i++) {
        char32_t c = i < chars.size() ? chars[i] : U'\\';
        if (c != U'\\' && c != U'/') {
            FUZZ_CHECK(c >= 0x20 && c != U':');
            component += (char32_t)towlower((wint_t)c);
            continue;
        }
        // Windows drops trailing dots and blanks, which would turn "..." into "..".
        FUZZ_CHECK(!component.empty() && component.back() != U'.' && component.back() != U' ');
        FUZZ_CHECK(!IsDevice(component));
        key += component;
        if (i < chars.size()) key += U'\\';
        component.clear();
    }
    return key;
}

static std::u32string Ascii(const char* s) {
    return std::u32string(s, s + strlen(s));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
    FUZZ_CHECK(ready);
    std::vector<std::string> names;
    std::string all((const char*)data, size);
    for (size_t at = 0; at <= all.size() && names.size() <= 256;) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos) end = all.size();
        names.push_back(all.substr(at, end - at).c_str()); // up to a zero byte
        at = end + 1;
    }
    std::vector<const char*> table;
    for (const std::string& n : names)
        table.push_back(n.c_str());
    if (CheckInstallNames(table.data(), (uint32_t)table.size()) != UPDATE_OK) return 0;

    std::vector<std::u32string> keys;
    for (const std::string& n : names) {
        FUZZ_CHECK(IsSafeInstallName(n.c_str()));
        keys.push_back(Resolve(n));
        FUZZ_CHECK(keys.back() != Ascii("krn.hvl.tmp") && keys.back() != Ascii("uninst.lst.tmp"));
    }
    for (size_t i = 0; i < keys.size(); i++)
        for (size_t j = 0; j < keys.size(); j++) {
            if (i == j) continue;
            FUZZ_CHECK(keys[i] != keys[j]);
            FUZZ_CHECK(keys[i] + Ascii(".tmp") != keys[j]);
            FUZZ_CHECK(keys[j].compare(0, keys[i].size() + 1, keys[i] + U'\\') != 0);
        }
    return 0;
}
