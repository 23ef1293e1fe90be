// The Windows tool switches the console it shares with its caller to UTF-8
// output while it runs; the console is the caller's, so its code page must
// be back as it was when the tool ends, on success and on failure alike.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>
#include <string>

namespace {

// Set for the copy of this test started in a console of its own.
const wchar_t kInnerRun[] = L"KRN_CONSOLE_TEST_INNER";

// The build's paths are host paths; Wine shows the host's root as Z:.
std::wstring ProgramPath(const char* path) {
    std::wstring w(path, path + strlen(path)); // the build folder's path is ASCII
    for (wchar_t& c : w)
        if (c == L'/') c = L'\\';
    return path[0] == '/' ? L"Z:" + w : w;
}

// Runs the command line and waits up to a minute; its exit code, or -1.
// With ownConsole it gets a new console but writes to our output, so its
// report reaches the test log; otherwise it shares our console.
DWORD RunAndWait(std::wstring commandLine, bool ownConsole) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (ownConsole) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    PROCESS_INFORMATION process;
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, ownConsole,
                        ownConsole ? CREATE_NEW_CONSOLE : 0, nullptr, nullptr, &startup, &process))
        return (DWORD)-1;
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

TEST(ToolConsole, CodePageIsPutBack) {
    wchar_t flag[2];
    bool inner = GetEnvironmentVariableW(kInnerRun, flag, 2) != 0;
    // Without a console the code page reads 0. Wine started without a
    // terminal has none and cannot make one, but gives a child started with
    // CREATE_NEW_CONSOLE one of its own.
    if (!GetConsoleOutputCP() && !AllocConsole()) {
        ASSERT_FALSE(inner) << "no console even in a process started with one";
        ASSERT_TRUE(SetEnvironmentVariableW(kInnerRun, L"1"));
        wchar_t self[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
        ASSERT_TRUE(n > 0 && n < MAX_PATH);
        std::wstring again = L"\"" + std::wstring(self) + L"\" --gtest_filter=ToolConsole.*";
        EXPECT_EQ(RunAndWait(again, true), 0u);
        return;
    }
    struct Case {
        const wchar_t* arguments;
        DWORD exitCode;
    };
    const Case cases[] = {{L"--version", 0}, {L"verify no-such-patch.exe", 1}};
    for (const Case& c : cases) {
        ASSERT_TRUE(SetConsoleOutputCP(932));
        std::wstring command = L"\"" + ProgramPath(KRN_TOOL_EXE) + L"\" " + c.arguments;
        EXPECT_EQ(RunAndWait(command, false), c.exitCode) << c.arguments;
        EXPECT_EQ(GetConsoleOutputCP(), 932u) << c.arguments;
    }
}

} // namespace
