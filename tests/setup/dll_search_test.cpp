// The choice of DLL search restriction on systems with both calls, with only
// the older one, and with neither, and when a call fails.
#include <gtest/gtest.h>

#include <string>

#include "dll_search.h"

namespace {

struct Calls {
    bool defaultWorks, directoryWorks;
    std::string log;
};
Calls* gCalls;

int KRN_SYSTEM_CALL FakeSetDefault(uint32_t flags) {
    gCalls->log += flags == kLoadLibrarySearchSystem32 ? "system32 " : "other-flags ";
    return gCalls->defaultWorks;
}

int KRN_SYSTEM_CALL FakeSetDirectory(const WideChar* directory) {
    gCalls->log += directory && directory[0] == 0 ? "no-current " : "some-folder ";
    return gCalls->directoryWorks;
}

} // namespace

TEST(DllSearch, FallsBackToTakingTheCurrentFolderOut) {
    const struct {
        const char* label;
        bool hasDefault, defaultWorks, hasDirectory, directoryWorks;
        DllSearch result;
        const char* log;
    } cases[] = {
        {"updated system", true, true, true, true, DLL_SEARCH_SYSTEM32_ONLY, "system32 "},
        {"Vista or 7 without the update", false, false, true, true, DLL_SEARCH_NO_CURRENT,
         "no-current "},
        {"newer call refused", true, false, true, true, DLL_SEARCH_NO_CURRENT,
         "system32 no-current "},
        {"neither call", false, false, false, false, DLL_SEARCH_UNRESTRICTED, ""},
        {"both refused", true, false, true, false, DLL_SEARCH_UNRESTRICTED, "system32 no-current "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Calls calls = {c.defaultWorks, c.directoryWorks, ""};
        gCalls = &calls;
        EXPECT_EQ(RestrictDllSearchWith(c.hasDefault ? FakeSetDefault : nullptr,
                                        c.hasDirectory ? FakeSetDirectory : nullptr),
                  c.result);
        EXPECT_EQ(calls.log, c.log);
    }
    gCalls = nullptr;
}
