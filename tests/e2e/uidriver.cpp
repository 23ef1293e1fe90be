// uidriver.exe: the test driver as a command for scripts.
//   uidriver set-folder <path>     write the install-folder registry value (64-bit view)
//   uidriver clear-folder          delete it
//   uidriver run <program.exe> [--answer yes|no|enter] [--pause-ms N] [--timeout-ms N]
//   uidriver make-demo <folder> [--size-mb N]
// "run" starts the program, answers its first question, confirms every notice
// and warning, prints each message box and each new label of the progress
// dialog, optionally holds the program still for N ms once the label shows
// (printing "dialog rect=x,y,width,height" and then "paused"), and ends
// with "exit=0x%08X". "make-demo" writes <folder>\update.exe, a patch of three
// files (one of N MiB, default 64, to watch the dialog), and the installation
// <folder>\game that it updates, and points the registry value at it. Its own status is 0 when
// the program ran to its end, 1 when it had to be killed, 2 on bad usage.
#include "driver.h"
#include "package_writer.h"
#include "test_support.h"
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <set>

static int Usage() {
    fprintf(stderr, "usage: uidriver set-folder <path> | clear-folder | run <program.exe> "
                    "[--answer yes|no|enter] [--pause-ms N] [--timeout-ms N] | "
                    "make-demo <folder> [--size-mb N]\n");
    return 2;
}

// Texts are printed as they are; only a double quote is escaped, as \".
static std::string Quoted(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"') out += '\\';
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
    std::string path = OwnFolder() + "\\uihook.dll";
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
                RECT r;
                GetWindowRect(dialog, &r);
                fprintf(stdout, "dialog rect=%ld,%ld,%ld,%ld\n", (long)r.left, (long)r.top,
                        (long)(r.right - r.left), (long)(r.bottom - r.top));
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

static int MakeDemo(const std::string& folder, unsigned sizeMb) {
    Bytes stub;
    if (!ReadBytes(BuiltUpdateExe(), &stub)) {
        fprintf(stderr, "cannot read %s\n", BuiltUpdateExe().c_str());
        return 1;
    }
    std::string game = folder + "\\game";
    CreateDirectoryA(folder.c_str(), NULL);
    CreateDirectoryA(game.c_str(), NULL);
    CreateDirectoryA((game + "\\Archive").c_str(), NULL);
    bool ok =
        WriteBytes(game + "\\KRN.hvl", ToBytes(std::string("BHV_V2__") + std::string(8, '\0'))) &&
        WriteText(game + "\\uninst.lst", "Game.exe\r\n") &&
        WriteBytes(game + "\\Archive\\data01000.arc", PatternBytes(1000, 1));
    std::vector<WriterEntry> entries(3);
    entries[0].name = "data01000.arc";
    entries[0].listPath = "Archive\\data01000.arc";
    entries[0].data = PatternBytes((size_t)sizeMb * 1048576, 2);
    entries[1].name = "readme.txt";
    entries[1].listPath = "readme.txt";
    entries[1].data = PatternBytes(4096, 3);
    entries[2].name = Sjis("説明.txt");
    entries[2].listPath = entries[2].name;
    entries[2].data = PatternBytes(2048, 4);
    WriterOptions options;
    options.title = Sjis("クイルミア アップデート 1.01");
    std::string error;
    ok = ok && WritePackageFile(folder + "\\update.exe", stub, options, entries, &error);
    ok = ok && SetInstallFolder(WideFromAnsi(game));
    if (!ok) fprintf(stderr, "make-demo failed %s\n", error.c_str());
    return ok ? 0 : 1;
}

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) return Usage();
    std::wstring command = argv[1];
    if (command == L"set-folder" && argc == 3) return SetInstallFolder(argv[2]) ? 0 : 1;
    if (command == L"clear-folder" && argc == 2) return ClearInstallFolder() ? 0 : 1;
    if (command == L"make-demo" && (argc == 3 || argc == 5)) {
        unsigned sizeMb = 64;
        if (argc == 5) {
            if (std::wstring(argv[3]) != L"--size-mb") return Usage();
            sizeMb = (unsigned)wcstoul(argv[4], NULL, 10);
        }
        UseUnmanagedWindows();
        return MakeDemo(AnsiFromWide(argv[2]), sizeMb);
    }
    if (command != L"run" || argc < 3) return Usage();
    UseUnmanagedWindows();
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
