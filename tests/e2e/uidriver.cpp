// uidriver.exe: the test driver as a command for scripts.
//   uidriver set-folder <path>     write the install-folder registry value (64-bit view)
//   uidriver clear-folder          delete it
//   uidriver run <program.exe> [--answer yes|no|enter] [--pause-ms N] [--timeout-ms N]
// "run" starts the program, answers its first question, confirms every notice
// and warning, prints each message box and each new label of the progress
// dialog, optionally holds the program still for N ms once the label shows
// (printing "paused"), and ends with "exit=0x%08X". Its own status is 0 when
// the program ran to its end, 1 when it had to be killed, 2 on bad usage.
#include "driver.h"
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <set>

static int Usage() {
    fprintf(stderr, "usage: uidriver set-folder <path> | clear-folder | run <program.exe> "
                    "[--answer yes|no|enter] [--pause-ms N] [--timeout-ms N]\n");
    return 2;
}

static std::string Quoted(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

static std::string AnsiFromWide(const std::wstring& wide) {
    int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, NULL, 0, NULL, NULL);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &out[0], n, NULL, NULL);
    return out;
}

static std::string HookDllPath() {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, self, MAX_PATH);
    std::string path(self, n);
    size_t slash = path.find_last_of("\\/");
    path = path.substr(0, slash + 1) + "uihook.dll";
    return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES ? std::string() : path;
}

struct RunOptions {
    std::string program;
    std::string answer = "yes";
    DWORD pauseMs = 0;
    DWORD timeoutMs = 120000;
};

static int Run(const RunOptions& options) {
    ChildProcess child;
    if (!StartProgram(options.program, &child, HookDllPath())) {
        fprintf(stderr, "cannot start %s (error %lu)\n", options.program.c_str(),
                (unsigned long)GetLastError());
        return 1;
    }
    std::set<HWND> seen;
    bool answered = false;
    bool paused = false;
    std::string lastLabel;
    DWORD start = GetTickCount();
    while (IsRunning(child)) {
        if (GetTickCount() - start > options.timeoutMs) {
            fprintf(stdout, "timeout\n");
            EndProgram(&child);
            return 1;
        }
        for (HWND window : ProcessWindows(child.pid)) {
            if (!IsMessageBox(window) || seen.count(window)) continue;
            Sleep(50); // let the box take its text
            MessageBoxInfo box;
            if (!ReadMessageBox(child, window, &box)) continue;
            seen.insert(window);
            fprintf(stdout, "message type=%s caption=\"%s\" text=\"%s\"\n", box.kind.c_str(),
                    Quoted(box.caption).c_str(), Quoted(box.text).c_str());
            fflush(stdout);
            if (box.kind.compare(0, 8, "question") == 0) {
                // The first question is the consent; any later one (a cancel
                // question someone else caused) is declined.
                int id = answered || options.answer == "no" ? IDNO : IDYES;
                if (!answered && options.answer == "enter")
                    PressKey(window, VK_RETURN);
                else
                    ClickButton(window, id);
                answered = true;
            } else {
                ClickButton(window, IDOK);
            }
        }
        HWND dialog = FindProgressDialog(child.pid);
        if (dialog) {
            std::string label = WindowTextUtf8(GetDlgItem(dialog, 1001));
            if (label != lastLabel && !label.empty()) {
                fprintf(stdout, "label \"%s\"\n", Quoted(label).c_str());
                fflush(stdout);
                lastLabel = label;
            }
            if (options.pauseMs && !paused && !label.empty()) {
                paused = true;
                Sleep(100); // let the dialog paint what it shows
                SuspendProgram(child);
                fprintf(stdout, "paused\n");
                fflush(stdout);
                Sleep(options.pauseMs);
                ResumeProgram(child);
                start += options.pauseMs; // the pause does not count against the timeout
            }
        }
        Sleep(5);
    }
    DWORD code = 0;
    WaitForExit(&child, INFINITE, &code);
    fprintf(stdout, "exit=0x%08lX\n", (unsigned long)code);
    fflush(stdout);
    EndProgram(&child);
    return 0;
}

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) return Usage();
    std::wstring command = argv[1];
    if (command == L"set-folder" && argc == 3) return SetInstallFolder(argv[2]) ? 0 : 1;
    if (command == L"clear-folder" && argc == 2) return ClearInstallFolder() ? 0 : 1;
    if (command != L"run" || argc < 3) return Usage();
    RunOptions options;
    options.program = AnsiFromWide(argv[2]);
    for (int i = 3; i < argc; i++) {
        std::wstring option = argv[i];
        if (i + 1 >= argc) return Usage();
        std::string value = Utf8FromWide(argv[++i]);
        if (option == L"--answer" && (value == "yes" || value == "no" || value == "enter"))
            options.answer = value;
        else if (option == L"--pause-ms")
            options.pauseMs = (DWORD)strtoul(value.c_str(), NULL, 10);
        else if (option == L"--timeout-ms")
            options.timeoutMs = (DWORD)strtoul(value.c_str(), NULL, 10);
        else
            return Usage();
    }
    return Run(options);
}
