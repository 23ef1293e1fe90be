// update.exe's user interface in process: the resources of the built program,
// the dialog procedure and the pump, the monitor list and the centring, and
// the registry read. Runs under Wine with an X display.
#include "dialog.h"
#include "driver.h"
#include "install_folder.h"
#include "messages.h"
#include "monitors.h"
#include "progress.h"
#include "test_support.h"
#include <commctrl.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Before this process makes its first window (see UseUnmanagedWindows).
struct Unmanaged {
    Unmanaged() { UseUnmanagedWindows(); }
} gUnmanaged;

// The built update.exe: KRN_UPDATE_EXE, or the one of this build tree.
std::string UpdateExePath() {
    char buf[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("KRN_UPDATE_EXE", buf, MAX_PATH);
    if (n > 0 && n < MAX_PATH) return buf;
    return BuiltUpdateExe();
}

struct Resources {
    HMODULE module = NULL;
    Resources() {
        module = LoadLibraryExA(UpdateExePath().c_str(), NULL,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    }
    ~Resources() {
        if (module) FreeLibrary(module);
    }
    // The bytes of one resource in Japanese.
    std::vector<unsigned char> Get(LPCSTR type, LPCSTR name) const {
        HRSRC found =
            FindResourceExA(module, type, name, MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
        if (!found) return {};
        HGLOBAL loaded = LoadResource(module, found);
        const unsigned char* p = (const unsigned char*)LockResource(loaded);
        return std::vector<unsigned char>(p, p + SizeofResource(module, found));
    }
};

// Sequential reader of a dialog template.
struct Reader {
    const std::vector<unsigned char>& b;
    size_t at = 0;
    explicit Reader(const std::vector<unsigned char>& bytes) : b(bytes) {}
    unsigned Word() {
        unsigned v = b.at(at) | (b.at(at + 1) << 8);
        at += 2;
        return v;
    }
    unsigned Dword() {
        unsigned lo = Word();
        return lo | (Word() << 16);
    }
    // A name or ordinal field: "#n" for an ordinal, else the UTF-8 text.
    std::string NameOrOrdinal() {
        unsigned first = Word();
        if (first == 0xFFFF) return "#" + std::to_string(Word());
        std::wstring s;
        for (unsigned c = first; c; c = Word())
            s += (wchar_t)c;
        return Utf8FromWide(s);
    }
    void AlignDword() { at = (at + 3) & ~(size_t)3; }
};

struct Control {
    unsigned id, style, exStyle, x, y, cx, cy;
    std::string cls, text;
};

BOOL CALLBACK CountName(HMODULE, LPCSTR, LPSTR, LONG_PTR count) {
    ++*(int*)count;
    return TRUE;
}

BOOL CALLBACK CountLanguage(HMODULE, LPCSTR, LPCSTR, WORD, LONG_PTR count) {
    ++*(int*)count;
    return TRUE;
}

} // namespace

TEST(UpdateResources, DialogTemplateIsExactlyTheProgressDialog) {
    Resources res;
    ASSERT_TRUE(res.module) << UpdateExePath();
    std::vector<unsigned char> t = res.Get(MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(102));
    ASSERT_FALSE(t.empty());
    Reader r(t);
    EXPECT_EQ(1u, r.Word());      // version
    EXPECT_EQ(0xFFFFu, r.Word()); // extended template
    EXPECT_EQ(0u, r.Dword());     // help id
    EXPECT_EQ(0u, r.Dword());     // extended style
    EXPECT_EQ(0x80C000C0u, r.Dword());
    ASSERT_EQ(4u, r.Word());
    unsigned frame[4] = {r.Word(), r.Word(), r.Word(), r.Word()};
    EXPECT_EQ(0u, frame[0]);
    EXPECT_EQ(0u, frame[1]);
    EXPECT_EQ(271u, frame[2]);
    EXPECT_EQ(109u, frame[3]);
    EXPECT_EQ("", r.NameOrOrdinal()); // menu
    EXPECT_EQ("", r.NameOrOrdinal()); // class
    EXPECT_EQ("", r.NameOrOrdinal()); // caption
    EXPECT_EQ(9u, r.Word());          // points
    EXPECT_EQ(400u, r.Word());        // weight
    unsigned italicCharset = r.Word();
    EXPECT_EQ(0u, italicCharset & 0xFF);
    EXPECT_EQ(128u, italicCharset >> 8);
    EXPECT_EQ("MS UI Gothic", r.NameOrOrdinal());

    const Control expected[] = {
        {1000, 0x50010000, 0, 110, 88, 51, 14, "#128", "中止"},
        {1001, 0x50020201, 0x00020000, 7, 7, 257, 14, "#130", ""},
        {1002, 0x50800001, 0, 7, 33, 257, 16, "msctls_progress32", ""},
        {1003, 0x50800001, 0, 7, 59, 257, 16, "msctls_progress32", ""},
    };
    for (const Control& want : expected) {
        SCOPED_TRACE(want.id);
        r.AlignDword();
        EXPECT_EQ(0u, r.Dword()); // help id
        EXPECT_EQ(want.exStyle, r.Dword());
        EXPECT_EQ(want.style, r.Dword());
        EXPECT_EQ(want.x, r.Word());
        EXPECT_EQ(want.y, r.Word());
        EXPECT_EQ(want.cx, r.Word());
        EXPECT_EQ(want.cy, r.Word());
        EXPECT_EQ(want.id, r.Dword());
        EXPECT_EQ(want.cls, r.NameOrOrdinal());
        EXPECT_EQ(want.text, r.NameOrOrdinal());
        EXPECT_EQ(0u, r.Word()); // no creation data
    }
    EXPECT_EQ(t.size(), r.at);
}

TEST(UpdateResources, IconVersionAndManifest) {
    Resources res;
    ASSERT_TRUE(res.module) << UpdateExePath();

    // Icon group 101: four 32-bit images, 256 (stored as PNG), 48, 32, 24.
    std::vector<unsigned char> group = res.Get(MAKEINTRESOURCEA(14), MAKEINTRESOURCEA(101));
    ASSERT_EQ(6u + 4 * 14, group.size());
    Reader g(group);
    EXPECT_EQ(0u, g.Word());
    EXPECT_EQ(1u, g.Word());
    EXPECT_EQ(4u, g.Word());
    const unsigned sizes[] = {256, 48, 32, 24};
    for (unsigned size : sizes) {
        SCOPED_TRACE(size);
        unsigned wh = g.Word();
        EXPECT_EQ(size % 256, wh & 0xFF);
        EXPECT_EQ(size % 256, wh >> 8);
        g.Word();                 // colour count, reserved
        EXPECT_EQ(1u, g.Word());  // planes
        EXPECT_EQ(32u, g.Word()); // bits
        g.Dword();                // bytes
        unsigned id = g.Word();
        std::vector<unsigned char> image = res.Get(MAKEINTRESOURCEA(3), MAKEINTRESOURCEA(id));
        ASSERT_GT(image.size(), 40u);
        if (size == 256) {
            EXPECT_EQ(0, memcmp(image.data(), "\x89PNG\r\n\x1a\n", 8));
        } else {
            const BITMAPINFOHEADER* h = (const BITMAPINFOHEADER*)image.data();
            EXPECT_EQ(40u, h->biSize);
            EXPECT_EQ((LONG)size, h->biWidth);
            EXPECT_EQ(32, h->biBitCount);
        }
    }

    // Version resource: Japanese, Unicode strings, the two version texts.
    std::string path = UpdateExePath();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
    WORD* translation = nullptr;
    UINT length = 0;
    ASSERT_TRUE(
        VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", (void**)&translation, &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0411, translation[0]);
    EXPECT_EQ(0x04B0, translation[1]);
    char* text = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\041104B0\\FileVersion",
                               (void**)&text, &length));
    EXPECT_STREQ("1, 0, 0, 0", text);
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\041104B0\\ProductVersion",
                               (void**)&text, &length));
    EXPECT_STREQ("1.0.0.0", text);
    VS_FIXEDFILEINFO* fixed = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", (void**)&fixed, &length));
    EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
    EXPECT_EQ(0u, fixed->dwFileVersionLS);

    // Exactly one manifest: a second one (a toolchain's default, another
    // language) could be the one the loader picks.
    int manifests = 0;
    EnumResourceNamesA(res.module, MAKEINTRESOURCEA(24), CountName, (LONG_PTR)&manifests);
    EXPECT_EQ(1, manifests);
    int languages = 0;
    EnumResourceLanguagesA(res.module, MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1), CountLanguage,
                           (LONG_PTR)&languages);
    EXPECT_EQ(1, languages);

    // Manifest 1: elevation, the five systems, nothing about DPI or common controls.
    std::vector<unsigned char> m = res.Get(MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1));
    ASSERT_FALSE(m.empty());
    std::string manifest(m.begin(), m.end());
    const char* present[] = {
        "level=\"requireAdministrator\"",
        "name=\"Setup\" version=\"1.0.0.0\" processorArchitecture=\"X86\" type=\"win32\"",
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"};
    for (const char* s : present)
        EXPECT_NE(std::string::npos, manifest.find(s)) << s;
    const char* absent[] = {"dpiAware", "dpiAwareness", "Common-Controls", "dependency"};
    for (const char* s : absent)
        EXPECT_EQ(std::string::npos, manifest.find(s)) << s;
}

namespace {

// A dialog from the template linked into this test, driven by the real
// procedure, with the shared state reset around each case.
class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        gCancelFlag = 0;
        gCloseFlag = 0;
        memcpy(gWindowTitle, "\x83\x65\x83\x58\x83\x67", 7); // "テスト"
        gDialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(102), NULL,
                                     ProgressDialogProc, 0);
        ASSERT_TRUE(gDialog != NULL);
        dialog = gDialog;
        ShowWindow(dialog, SW_SHOW);
        Drain();
    }
    void TearDown() override {
        if (gDialog) DestroyWindow(gDialog);
        gDialog = NULL;
        Drain();
        gCancelFlag = 0;
        gCloseFlag = 0;
    }
    static void Drain() {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) continue;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    HWND dialog = NULL;
};

// Answers the next message box of this process from another thread, as a
// user would, and remembers what it showed.
struct BoxAnswerer {
    int answer;
    DWORD delayMs;
    MessageBoxInfo box;
    HWND defaultButtonOwner = NULL;
    int defaultId = 0;
    bool seen = false;
    HANDLE thread = NULL;

    BoxAnswerer(int answerId, DWORD waitMs = 5000) : answer(answerId), delayMs(waitMs) {
        thread = CreateThread(NULL, 0, Run, this, 0, NULL);
    }
    ~BoxAnswerer() { Join(); }
    void Join() {
        if (!thread) return;
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
        thread = NULL;
    }
    static DWORD WINAPI Run(void* self) {
        BoxAnswerer* a = (BoxAnswerer*)self;
        ChildProcess me;
        me.pid = GetCurrentProcessId();
        DWORD start = GetTickCount();
        while (GetTickCount() - start < a->delayMs) {
            std::vector<MessageBoxInfo> boxes = OpenMessageBoxes(me);
            if (!boxes.empty()) {
                Sleep(50);
                ReadMessageBox(me, boxes[0].window, &a->box);
                for (int id : {IDYES, IDNO}) {
                    HWND button = GetDlgItem(a->box.window, id);
                    if (button && (GetWindowLongW(button, GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON)
                        a->defaultId = id;
                }
                a->seen = true;
                ClickButton(a->box.window, a->answer);
                return 0;
            }
            Sleep(10);
        }
        return 0;
    }
};

} // namespace

TEST_F(DialogTest, StartsHiddenWithoutSystemMenuAndWithTheTemplatesControls) {
    HWND fresh = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(102), NULL,
                                    ProgressDialogProc, 0);
    ASSERT_TRUE(fresh != NULL);
    LONG style = GetWindowLongA(fresh, GWL_STYLE);
    EXPECT_FALSE(style & WS_VISIBLE);
    EXPECT_FALSE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_CAPTION);
    DestroyWindow(fresh);

    char cls[64];
    const struct {
        int id;
        const char* cls;
        DWORD style;
    } controls[] = {{1000, "Button", 0x50010000},
                    {1001, "Static", 0x50020201},
                    {1002, "msctls_progress32", 0x50800001},
                    {1003, "msctls_progress32", 0x50800001}};
    for (const auto& c : controls) {
        HWND control = GetDlgItem(dialog, c.id);
        ASSERT_TRUE(control != NULL) << c.id;
        GetClassNameA(control, cls, sizeof cls);
        EXPECT_STRCASEEQ(c.cls, cls);
        // The progress control trades its WS_BORDER for WS_EX_STATICEDGE when created.
        DWORD style = (DWORD)GetWindowLongA(control, GWL_STYLE);
        if (c.id >= 1002) style |= WS_BORDER;
        EXPECT_EQ(c.style, style) << c.id;
    }
    EXPECT_EQ(WS_EX_STATICEDGE,
              (DWORD)GetWindowLongA(GetDlgItem(dialog, 1001), GWL_EXSTYLE) & WS_EX_STATICEDGE);
}

TEST_F(DialogTest, MessagesTheProcedureLeavesAlone) {
    // Escape (IDCANCEL), IDOK, other notifications of the button, Alt+F4.
    EXPECT_EQ(FALSE, ProgressDialogProc(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0));
    EXPECT_EQ(FALSE, ProgressDialogProc(dialog, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0));
    EXPECT_EQ(FALSE, ProgressDialogProc(dialog, WM_COMMAND, MAKEWPARAM(1000, BN_SETFOCUS), 0));
    EXPECT_EQ(FALSE, ProgressDialogProc(dialog, WM_COMMAND, MAKEWPARAM(1001, BN_CLICKED), 0));
    EXPECT_EQ(TRUE, ProgressDialogProc(dialog, WM_SYSCOMMAND, SC_CLOSE, 0));
    EXPECT_EQ(TRUE, ProgressDialogProc(dialog, WM_SYSCOMMAND, SC_CLOSE | 2, 0));
    EXPECT_EQ(FALSE, ProgressDialogProc(dialog, WM_SYSCOMMAND, SC_MOVE, 0));
    EXPECT_EQ(TRUE, ProgressDialogProc(dialog, WM_INITDIALOG, 0, 0));
    EXPECT_EQ(FALSE, ProgressDialogProc(dialog, WM_TIMER, 1, 0));

    // The same through the queue and the dialog manager.
    HWND button = GetDlgItem(dialog, 1000);
    PressKey(button, VK_ESCAPE);
    PressKey(button, VK_RETURN); // the default is IDOK, which does nothing either
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(0, PumpMessages());
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_EQ(dialog, gDialog);
    EXPECT_EQ(0u, gCloseFlag);
    EXPECT_EQ(0u, gCancelFlag);
}

TEST_F(DialogTest, CloseDestroysTheDialogAndSetsTheCloseFlag) {
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    EXPECT_EQ(0, PumpMessages());
    EXPECT_EQ(1u, gCloseFlag);
    EXPECT_EQ(0u, gCancelFlag);
    EXPECT_TRUE(gDialog == NULL);
    EXPECT_FALSE(IsWindow(dialog));
    // Later writes to the dead controls go nowhere; the pump still works.
    PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0);
    EXPECT_EQ(0, PumpMessages());
}

TEST_F(DialogTest, CancelQuestionAnsweredNoChangesNothing) {
    BoxAnswerer answerer(IDNO);
    PostMessageA(GetDlgItem(dialog, 1000), BM_CLICK, 0, 0);
    EXPECT_EQ(0, PumpMessages()); // stands still until the question is answered
    answerer.Join();
    ASSERT_TRUE(answerer.seen);
    EXPECT_EQ(std::string(kAskCancel), answerer.box.textSjis);
    EXPECT_EQ(std::string(gWindowTitle), answerer.box.captionSjis);
    EXPECT_EQ(dialog, answerer.box.owner);
    EXPECT_EQ(IDNO, answerer.defaultId);
    EXPECT_EQ(0u, gCancelFlag);
    EXPECT_EQ(0u, gCloseFlag);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, 1000)));
}

TEST_F(DialogTest, ConfirmedCancelSetsTheFlagOnceAndDisablesTheButton) {
    {
        BoxAnswerer answerer(IDYES);
        PostMessageA(GetDlgItem(dialog, 1000), BM_CLICK, 0, 0);
        EXPECT_EQ(0, PumpMessages());
        answerer.Join();
        ASSERT_TRUE(answerer.seen);
    }
    EXPECT_EQ(1u, gCancelFlag);
    EXPECT_EQ(0u, gCloseFlag);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, 1000)));
    EXPECT_TRUE(IsWindow(dialog));

    // Another click, as another program could send it: handled without asking.
    BoxAnswerer watcher(IDNO, 700);
    EXPECT_EQ(TRUE, ProgressDialogProc(dialog, WM_COMMAND, MAKEWPARAM(1000, BN_CLICKED), 0));
    watcher.Join();
    EXPECT_FALSE(watcher.seen);
    EXPECT_EQ(1u, gCancelFlag);
}

TEST(Pump, QuitIsTakenOnceAndWhatFollowsWaits) {
    // Empty queue: returns at once.
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
    }
    EXPECT_EQ(0, PumpMessages());

    DWORD thread = GetCurrentThreadId();
    PostThreadMessageA(thread, WM_USER + 1, 0, 0);
    PostQuitMessage(0);
    PostThreadMessageA(thread, WM_USER + 2, 0, 0);
    // PostQuitMessage's quit comes once nothing else waits: all is drained.
    EXPECT_EQ(1, PumpMessages());
    EXPECT_FALSE(PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    EXPECT_EQ(0, PumpMessages());

    PostThreadMessageA(thread, WM_QUIT, 0, 0); // as another program posts it
    PostThreadMessageA(thread, WM_USER + 3, 0, 0);
    EXPECT_EQ(1, PumpMessages());
    ASSERT_TRUE(PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE));
    EXPECT_EQ((UINT)WM_USER + 3, msg.message);
    EXPECT_EQ(0, PumpMessages());
    EXPECT_FALSE(PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE));
}

TEST(Monitors, ListKeepsEnumerationOrderAndIndices) {
    FreeMonitorList();
    RECT rects[3] = {{0, 0, 1920, 1080}, {1920, 0, 3200, 1024}, {-800, -600, 0, 0}};
    for (RECT& r : rects)
        EXPECT_TRUE(AddMonitor(NULL, NULL, &r, 0));
    for (UINT32 i = 0; i < 3; i++) {
        RECT got = {};
        ASSERT_EQ(1, GetMonitorRect(&got, i)) << i;
        EXPECT_TRUE(EqualRect(&got, &rects[i])) << i;
    }
    RECT untouched = {1, 2, 3, 4};
    EXPECT_EQ(0, GetMonitorRect(&untouched, 3));
    EXPECT_EQ(3, untouched.right);
    FreeMonitorList();
    EXPECT_EQ(0, GetMonitorRect(&untouched, 0));
    FreeMonitorList(); // empty: nothing to do
    EXPECT_TRUE(AddMonitor(NULL, NULL, &rects[1], 0));
    RECT got = {};
    ASSERT_EQ(1, GetMonitorRect(&got, 0)); // numbering starts again
    EXPECT_TRUE(EqualRect(&got, &rects[1]));
    FreeMonitorList();
}

TEST(Monitors, CentredPositionArithmetic) {
    struct Row {
        RECT monitor;
        RECT window;
        int x, y;
    } rows[] = {
        {{0, 0, 1920, 1080}, {0, 0, 400, 200}, 760, 440},
        {{0, 0, 1920, 1080}, {0, 0, 401, 201}, 759, 439},
        {{0, 0, 800, 600}, {0, 0, 1001, 601}, -100, 0},      // toward zero, not -101
        {{0, 0, 800, 600}, {50, 70, 1051, 673}, -100, -1},   // only the sizes count
        {{1920, 0, 3840, 1080}, {0, 0, 400, 200}, 760, 440}, // measured from the origin
        {{-1280, 100, 0, 1124}, {0, 0, 640, 480}, 320, 272},
    };
    for (const Row& row : rows) {
        int x = 12345, y = 12345;
        CentredPosition(row.monitor, row.window, &x, &y);
        EXPECT_EQ(row.x, x) << row.monitor.left << "," << row.window.right;
        EXPECT_EQ(row.y, y) << row.monitor.left << "," << row.window.bottom;
    }
}

TEST(Monitors, CentreWindowOnMonitorZeroOrElseThePrimary) {
    HWND window =
        CreateWindowExA(0, "STATIC", "", WS_POPUP, 5, 5, 301, 151, NULL, NULL, NULL, NULL);
    ASSERT_TRUE(window != NULL);
    POINT origin = {0, 0};
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetMonitorInfoA(MonitorFromPoint(origin, MONITOR_DEFAULTTOPRIMARY), &info));
    LONG width = info.rcMonitor.right - info.rcMonitor.left;
    LONG height = info.rcMonitor.bottom - info.rcMonitor.top;

    FreeMonitorList(); // no monitor 0: the primary stands in
    CentreWindow(window);
    RECT r;
    GetWindowRect(window, &r);
    EXPECT_EQ((width - 301) / 2, r.left);
    EXPECT_EQ((height - 151) / 2, r.top);
    EXPECT_EQ(301, r.right - r.left);

    RECT fake = {0, 0, 1000, 500};
    AddMonitor(NULL, NULL, &fake, 0);
    CentreWindow(window);
    GetWindowRect(window, &r);
    EXPECT_EQ((1000 - 301) / 2, r.left);
    EXPECT_EQ((500 - 151) / 2, r.top);
    FreeMonitorList();

    EnumerateMonitors();
    RECT first;
    ASSERT_EQ(1, GetMonitorRect(&first, 0));
    FreeMonitorList();
    DestroyWindow(window);
}

namespace {

// A key of its own, so these cases never meet the program's real value.
const wchar_t kTestKey[] = L"Software\\KRNTEST\\\x30AF\x30A4\x30EB\x30DF\x30A2";

bool SetTestValue(const void* data, DWORD size, DWORD type) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(key, L"InstalledFolder", 0, type, (const BYTE*)data, size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

} // namespace

TEST(InstallFolder, OnlyATerminatedStringThatFits) {
    char folder[kInstallFolderSize];
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kTestKey);
    EXPECT_EQ(0, ReadInstallFolder(folder, "KRNTEST", kProductKey)); // no key
    EXPECT_EQ(0, ReadInstallFolder(folder, nullptr, kProductKey));
    EXPECT_EQ(0, ReadInstallFolder(folder, "KRNTEST", nullptr));

    std::wstring japanese = L"C:\\Games\\\x30AF\x30A4\x30EB\x30DF\x30A2 ";
    std::wstring fits(259, L'a'); // 259 bytes and the NUL: 260
    std::wstring unterminated(260, L'b');
    std::wstring tooLong(260, L'c'); // with its NUL 261
    struct Row {
        const char* what;
        std::wstring value;
        DWORD type;
        bool withNul;
        int result;
    } rows[] = {
        {"Japanese path", japanese, REG_SZ, true, 1},
        {"expandable", japanese, REG_EXPAND_SZ, true, 0},
        {"binary", japanese, REG_BINARY, true, 0},
        {"259 bytes", fits, REG_SZ, true, 1},
        {"260 bytes without NUL", unterminated, REG_SZ, false, 0},
        {"261 bytes", tooLong, REG_SZ, true, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DWORD size = (DWORD)((row.value.size() + (row.withNul ? 1 : 0)) * sizeof(wchar_t));
        ASSERT_TRUE(SetTestValue(row.value.c_str(), size, row.type));
        memset(folder, 'x', sizeof folder);
        EXPECT_EQ(row.result, ReadInstallFolder(folder, "KRNTEST", kProductKey));
        if (row.result) {
            std::string expected = row.what == std::string("Japanese path")
                                       ? Sjis("C:\\Games\\クイルミア ")
                                       : std::string(259, 'a');
            EXPECT_EQ(expected, std::string(folder)); // exactly as stored, blank kept
        }
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kTestKey);
}
