// update.exe run as a user runs it: a patch is made from the built program and
// a package, the registry names a scratch installation, and the driver answers,
// clicks, closes and reads what the program shows and leaves behind.
#include "driver.h"
#include "messages.h"
#include "package_writer.h"
#include "resource.h"
#include "test_support.h"
#include <commctrl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// Before any window of the programs started here (see UseUnmanagedWindows).
struct Unmanaged {
    Unmanaged() { UseUnmanagedWindows(); }
} gUnmanaged;

const DWORD kSecondInstanceExit = 0xFFFFFFFA;
const std::string kDataPath = "Archive\\data01000.arc";

std::string HookDll() {
    return OwnFolder() + "\\uihook.dll";
}

const Bytes& Stub() {
    static Bytes stub;
    if (stub.empty()) ReadBytes(BuiltUpdateExe(), &stub);
    return stub;
}

typedef std::map<std::string, Bytes> Tree; // relative path -> contents

// What a run showed and left.
struct Outcome {
    bool exited = false;
    DWORD exitCode = 0;
    std::vector<MessageBoxInfo> boxes; // in the order they appeared
    HWND dialog = NULL;
    RECT dialogRect = {};
    std::string dialogCaption; // Shift-JIS
    bool dialogGoneAtOutcome = true;
    std::vector<HookRecord> log;
};

// How the driver acts during a run.
struct Scenario {
    enum Answer { kYes, kNo, kEnter, kNone } answer = kYes;
    LONG pauseAt = -1; // hold the update at this overall-bar position
    std::function<void(ChildProcess*, HWND dialog)> atPause;
    int cancelAnswer = IDNO;
    std::function<void(ChildProcess*, const MessageBoxInfo&)> atCancelQuestion; // before answering
    std::function<void(ChildProcess*)> afterCancelAnswer;
    std::function<void(ChildProcess*)> atFirstQuestion; // before it is answered
};

Outcome RunPatch(const std::string& exe, const Scenario& s, DWORD timeoutMs = 60000) {
    Outcome out;
    ChildProcess child;
    if (!StartProgram(exe, &child, HookDll())) {
        ADD_FAILURE() << "cannot start " << exe << " (error " << GetLastError() << ")";
        return out;
    }
    if (s.pauseAt >= 0) ArmPause(&child, s.pauseAt);
    std::set<HWND> seen;
    DWORD start = GetTickCount();
    while (IsRunning(child)) {
        if (GetTickCount() - start > timeoutMs) {
            ADD_FAILURE() << "still running after " << timeoutMs << " ms";
            break;
        }
        if (!out.dialog) {
            out.dialog = FindProgressDialog(child.pid);
            if (out.dialog) {
                GetWindowRect(out.dialog, &out.dialogRect);
                out.dialogCaption = WindowTextSjis(out.dialog);
            }
        }
        if (WaitForPause(child, 0)) {
            if (s.atPause) s.atPause(&child, FindProgressDialog(child.pid));
            ResumeFromPause(child);
        }
        for (const MessageBoxInfo& found : OpenMessageBoxes(child)) {
            if (seen.count(found.window)) continue;
            seen.insert(found.window);
            Sleep(50); // the box takes its text and icon as it starts
            MessageBoxInfo box;
            if (!ReadMessageBox(child, found.window, &box)) continue;
            out.boxes.push_back(box);
            if (box.textSjis == kAskUpdate) {
                if (s.atFirstQuestion) s.atFirstQuestion(&child);
                if (s.answer == Scenario::kYes) ClickButton(box.window, IDYES);
                if (s.answer == Scenario::kNo) ClickButton(box.window, IDNO);
                if (s.answer == Scenario::kEnter) {
                    HWND focus = FocusWindow(child);
                    PressKey(focus ? focus : box.window, VK_RETURN);
                }
            } else if (box.textSjis == kAskCancel) {
                if (s.atCancelQuestion) s.atCancelQuestion(&child, box);
                ClickButton(box.window, s.cancelAnswer);
                if (s.afterCancelAnswer) s.afterCancelAnswer(&child);
            } else {
                out.dialogGoneAtOutcome = !out.dialog || !IsWindow(out.dialog);
                ClickButton(box.window, IDOK);
            }
        }
        Sleep(2);
    }
    out.exited = WaitForExit(&child, 10000, &out.exitCode);
    out.log = HookLog(child);
    EndProgram(&child);
    return out;
}

// Texts the program wrote into control id (WM_SETTEXT), as Shift-JIS.
std::vector<std::string> TextsOf(const Outcome& o, LONG id) {
    std::vector<std::string> texts;
    for (const HookRecord& r : o.log)
        if (r.message == WM_SETTEXT && r.controlId == id && r.parent)
            texts.push_back(SjisFromWide(r.text));
    return texts;
}

// Values sent to a bar: PBM_SETRANGE32 upper bounds or PBM_SETPOS positions.
std::vector<LONG64> BarValues(const Outcome& o, LONG id, UINT message) {
    std::vector<LONG64> values;
    for (const HookRecord& r : o.log)
        if (r.message == message && r.controlId == id)
            values.push_back(message == PBM_SETRANGE32 ? r.lParam : (LONG64)r.wParam);
    return values;
}

class UpdateE2E : public ::testing::Test {
  public: // the table rows of the tests prepare the fixture
    ScratchFolder scratch;
    std::string install; // the game's folder, with a Japanese name
    std::string patch;   // the update program
    HANDLE heldMutex = NULL;

    void SetUp() override {
        ASSERT_FALSE(Stub().empty());
        install = scratch.Join(Sjis("クイルミア"));
        ASSERT_TRUE(MakeFolder(install));
        ASSERT_TRUE(MakeFolder(install + "\\Archive"));
        patch = scratch.Join("update.exe");
        ResetInstall();
    }
    // The installation before the update, and the registry value naming it.
    void ResetInstall() {
        ASSERT_TRUE(WriteBytes(install + "\\KRN.hvl",
                               ToBytes(std::string("BHV_V2__") + std::string(8, '\0'))));
        ASSERT_TRUE(WriteText(install + "\\uninst.lst", "Game.exe\r\n$savedata\r\n"));
        ASSERT_TRUE(WriteBytes(install + "\\" + kDataPath, PatternBytes(5000, 1)));
        ASSERT_TRUE(WriteBytes(install + "\\readme.txt", PatternBytes(100, 2)));
        DeleteFileA((install + "\\" + Sjis("説明.txt")).c_str());
        ASSERT_TRUE(SetInstallFolder(WideFromAnsi(install)));
    }
    void TearDown() override {
        if (heldMutex) CloseHandle(heldMutex);
        ClearInstallFolder();
    }

    // The package of a typical patch: an archive file listed under its
    // folder, a text and a file with a Japanese name.
    static std::vector<WriterEntry> Entries(size_t dataSize = 3 * 1048576 + 17) {
        std::vector<WriterEntry> e(3);
        e[0].name = "data01000.arc";
        e[0].listPath = kDataPath;
        e[0].data = PatternBytes(dataSize, 11);
        e[1].name = "readme.txt";
        e[1].listPath = "readme.txt";
        e[1].data = PatternBytes(2000, 12);
        e[2].name = Sjis("説明.txt");
        e[2].listPath = Sjis("説明.txt");
        e[2].data = PatternBytes(777, 13);
        return e;
    }
    static WriterOptions Options() {
        WriterOptions o;
        o.title = Sjis("クイルミア アップデート 1.01");
        return o;
    }
    void MakePatch(const WriterOptions& options, const std::vector<WriterEntry>& entries,
                   const Bytes& stub = Stub()) {
        std::string error;
        ASSERT_TRUE(WritePackageFile(patch, stub, options, entries, &error)) << error;
    }

    Tree Snapshot() const {
        Tree tree;
        for (const std::string& folder : {std::string(), std::string("Archive\\")}) {
            for (const std::string& name : ListFolder(install + "\\" + folder)) {
                if (name == "Archive") continue;
                Bytes data;
                ReadBytes(install + "\\" + folder + name, &data);
                tree[folder + name] = data;
            }
        }
        return tree;
    }
    void ExpectInstalled(const std::vector<WriterEntry>& entries) {
        Tree tree = Snapshot();
        for (const WriterEntry& e : entries)
            EXPECT_TRUE(tree[e.listPath] == e.data) << e.listPath;
        for (const auto& file : tree)
            EXPECT_EQ(std::string::npos, file.first.find(".tmp")) << file.first;
    }
};

void ExpectBox(const MessageBoxInfo& box, const char* kind, const std::string& caption,
               const char* text) {
    EXPECT_EQ(kind, box.kind);
    EXPECT_EQ(caption, box.captionSjis);
    EXPECT_EQ(std::string(text), box.textSjis);
}

} // namespace

// Every way a run can end before the update, and every result of the update
// that has a message: the exit status, the message (or none), its caption.
TEST_F(UpdateE2E, ExitStatusTable) {
    const std::string title = Options().title;
    Bytes noDialogStub = Stub(); // its progress class renamed: the dialog cannot be made
    {
        const wchar_t cls[] = L"msctls_progress32";
        const unsigned char* p = (const unsigned char*)cls;
        Bytes needle(p, p + 2 * 17);
        int replaced = 0;
        for (size_t i = 0; i + needle.size() <= noDialogStub.size(); i++) {
            if (memcmp(&noDialogStub[i], needle.data(), needle.size()) == 0) {
                noDialogStub[i + 2 * 16] = '9'; // "msctls_progress39"
                replaced++;
            }
        }
        ASSERT_EQ(2, replaced);
    }
    struct Row {
        const char* what;
        std::function<void(UpdateE2E*)> prepare;
        Scenario::Answer answer;
        DWORD exit;
        const char* kind; // outcome message after the question, or null
        const char* text;
        bool asked; // the first question appears
        bool errorCaption;
    };
    WriterOptions options = Options();
    std::vector<WriterEntry> entries = Entries(1000);
    const Row rows[] = {
        {"title block missing, game running",
         [](UpdateE2E* t) {
             ASSERT_TRUE(WriteBytes(t->patch, Stub()));
             t->heldMutex = HoldMutex(kGameMutexName);
         },
         Scenario::kYes, 0xFFFFFFFB, "warning", kTitleReadFailed, false, true},
        {"game running and not installed",
         [&](UpdateE2E* t) {
             t->MakePatch(options, entries);
             ClearInstallFolder();
             t->heldMutex = HoldMutex(kGameMutexName);
         },
         Scenario::kYes, 0xFFFFFFFE, "warning", kGameRunning, false, false},
        {"not installed",
         [&](UpdateE2E* t) {
             t->MakePatch(options, entries);
             ClearInstallFolder();
         },
         Scenario::kYes, 0xFFFFFFFF, "warning", kNotInstalled, false, false},
        {"install folder as REG_EXPAND_SZ",
         [&](UpdateE2E* t) {
             t->MakePatch(options, entries);
             SetInstallFolder(WideFromAnsi(t->install), REG_EXPAND_SZ);
         },
         Scenario::kYes, 0xFFFFFFFF, "warning", kNotInstalled, false, false},
        {"install folder of 260 bytes without NUL",
         [&](UpdateE2E* t) {
             t->MakePatch(options, entries);
             std::wstring value(260, L'C');
             SetInstallFolderRaw(value.data(), 520, REG_SZ);
         },
         Scenario::kYes, 0xFFFFFFFF, "warning", kNotInstalled, false, false},
        {"another update running",
         [&](UpdateE2E* t) {
             t->MakePatch(options, entries);
             t->heldMutex = HoldMutex(kUpdaterMutexName);
         },
         Scenario::kYes, kSecondInstanceExit, nullptr, nullptr, false, false},
        {"declined", [&](UpdateE2E* t) { t->MakePatch(options, entries); }, Scenario::kNo,
         0xFFFFFFFD, nullptr, nullptr, true, false},
        {"Enter at the question is No", [&](UpdateE2E* t) { t->MakePatch(options, entries); },
         Scenario::kEnter, 0xFFFFFFFD, nullptr, nullptr, true, false},
        {"dialog cannot be created",
         [&](UpdateE2E* t) { t->MakePatch(options, entries, noDialogStub); }, Scenario::kYes,
         0xFFFFFFFC, "warning", kDialogFailed, true, false},
        {"digest differs",
         [&](UpdateE2E* t) {
             std::vector<WriterEntry> bad = entries;
             bad[1].wrongDigest = true;
             t->MakePatch(options, bad);
         },
         Scenario::kYes, 0x80000001, "warning", kPackageDamaged, true, false},
        {"more than 256 entries",
         [&](UpdateE2E* t) {
             WriterOptions o = options;
             o.countOverride = 257;
             t->MakePatch(o, entries);
         },
         Scenario::kYes, 0x80000002, "warning", kPackageDamaged, true, false},
        {"no installed version list",
         [&](UpdateE2E* t) {
             t->MakePatch(options, entries);
             DeleteFileA((t->install + "\\KRN.hvl").c_str());
         },
         Scenario::kYes, 0x80000004, "warning", kUpdateFailed, true, false},
        {"no uninstall list",
         [&](UpdateE2E* t) {
             t->MakePatch(options, entries);
             DeleteFileA((t->install + "\\uninst.lst").c_str());
         },
         Scenario::kYes, 0x80000005, "warning", kUninstallFailed, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ResetInstall();
        row.prepare(this);
        Tree before = Snapshot();
        Scenario s;
        s.answer = row.answer;
        Outcome o = RunPatch(patch, s);
        if (heldMutex) CloseHandle(heldMutex);
        heldMutex = NULL;
        ASSERT_TRUE(o.exited);
        EXPECT_EQ(row.exit, o.exitCode) << std::hex << o.exitCode;
        size_t expectedBoxes = (row.asked ? 1 : 0) + (row.kind ? 1 : 0);
        ASSERT_EQ(expectedBoxes, o.boxes.size());
        if (row.asked) {
            ExpectBox(o.boxes[0], "question", title, kAskUpdate);
            EXPECT_TRUE(o.boxes[0].owner == NULL);
        }
        if (row.kind) {
            const MessageBoxInfo& box = o.boxes.back();
            ExpectBox(box, row.kind, row.errorCaption ? std::string(kErrorCaption) : title,
                      row.text);
            EXPECT_TRUE(box.owner == NULL);
            EXPECT_TRUE(o.dialogGoneAtOutcome);
        }
        if (row.exit >= 0xFFFFFFFA) {
            EXPECT_TRUE(o.dialog == NULL); // nothing started
        }
        if (row.exit != 0x80000005) {
            EXPECT_TRUE(before == Snapshot()); // installation as it was
        }
    }
}

TEST_F(UpdateE2E, SuccessfulUpdateShowsEachFileAndEndsWithTheNotice) {
    std::vector<WriterEntry> entries = Entries();
    MakePatch(Options(), entries);
    Outcome o = RunPatch(patch, Scenario());
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(0u, o.exitCode);
    ASSERT_EQ(2u, o.boxes.size());
    ExpectBox(o.boxes[0], "question", Options().title, kAskUpdate);
    ExpectBox(o.boxes[1], "information", Options().title, kUpdateDone);
    ExpectInstalled(entries);
    std::string list = ReadText(install + "\\uninst.lst");
    EXPECT_NE(std::string::npos, list.find("archive\\data01000.arc\n")) << list;
    EXPECT_NE(std::string::npos, list.find("$savedata\n")) << list;

    // The dialog: titled, centred on the screen by the formula, gone before the notice.
    ASSERT_TRUE(o.dialog != NULL);
    EXPECT_EQ(Options().title, o.dialogCaption);
    EXPECT_TRUE(o.dialogGoneAtOutcome);
    int width = o.dialogRect.right - o.dialogRect.left;
    int height = o.dialogRect.bottom - o.dialogRect.top;
    EXPECT_EQ((GetSystemMetrics(SM_CXSCREEN) - width) / 2, o.dialogRect.left);
    EXPECT_EQ((GetSystemMetrics(SM_CYSCREEN) - height) / 2, o.dialogRect.top);

    // What it showed: one label per entry with its install name, the bars.
    std::vector<std::string> labels = TextsOf(o, 1001);
    std::vector<std::string> expected = {
        Sjis("KRN.hvlをインストール中"), Sjis("Archive\\data01000.arcをインストール中"),
        Sjis("readme.txtをインストール中"), Sjis("説明.txtをインストール中")};
    EXPECT_EQ(expected, labels);
    EXPECT_EQ(std::vector<LONG64>{4}, BarValues(o, 1003, PBM_SETRANGE32));
    std::vector<LONG64> overall = BarValues(o, 1003, PBM_SETPOS);
    EXPECT_EQ((std::vector<LONG64>{0, 2, 3, 4}), overall);
    EXPECT_EQ(std::vector<LONG64>{65535}, BarValues(o, 1002, PBM_SETRANGE32));
    std::vector<LONG64> file = BarValues(o, 1002, PBM_SETPOS);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(65535, file.back());
    // data01000.arc in four chunks: 0 at its label, then each MiB's share.
    int chunks = 0;
    for (LONG64 v : file)
        chunks += v > 0 && v < 65535;
    EXPECT_EQ(3, chunks);
}

// A real run's record, read where support finds it: %TEMP%\KRNUpdate.log, in
// order from the header to the end, in the texts the player saw.
TEST_F(UpdateE2E, RunIsRecordedInTheSupportLog) {
    char temp[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof temp, temp);
    ASSERT_TRUE(n > 0 && n < sizeof temp);
    MakePatch(Options(), Entries(1000));
    Outcome o = RunPatch(patch, Scenario());
    ASSERT_TRUE(o.exited);
    ASSERT_EQ(0u, o.exitCode);

    std::string log = ReadText(std::string(temp) + "KRNUpdate.log");
    size_t at = log.rfind("===== run started ");
    ASSERT_NE(std::string::npos, at) << log;
    const std::string expected[] = {
        std::string("update.exe ") + UPDATE_PRODUCT_VERSION_TEXT,
        "title: " + Options().title + "\r\n",
        "install folder: " + install + "\r\n",
        "update accepted",
        "result 0x00000000 (UPDATE_OK)",
        std::string("message shown (information): ") + kUpdateDone + "\r\n",
        "exit status 0x00000000",
        "run ended\r\n",
    };
    for (const std::string& line : expected) {
        size_t found = log.find(line, at);
        EXPECT_NE(std::string::npos, found) << line << " not after " << log.substr(at);
        if (found != std::string::npos) at = found;
    }
}

namespace {

// Files the interrupted runs must leave exactly as they were.
class InterruptedE2E : public UpdateE2E {
  protected:
    std::vector<WriterEntry> entries = Entries();
    Tree before;
    void SetUp() override {
        UpdateE2E::SetUp();
        MakePatch(Options(), entries);
        before = Snapshot();
    }
    // Held after data01000.arc was extracted (overall bar at 2): its
    // temporary file is there, nothing is replaced yet.
    static void HoldAfterFirstFile(Scenario* s, std::function<void(ChildProcess*, HWND)> act) {
        s->pauseAt = 2;
        s->atPause = std::move(act);
    }
    void ExpectSilentEnd(const Outcome& o, DWORD exit) {
        ASSERT_TRUE(o.exited);
        EXPECT_EQ(exit, o.exitCode) << std::hex << o.exitCode;
        for (const MessageBoxInfo& box : o.boxes) { // questions only, no outcome
            EXPECT_TRUE(box.textSjis == kAskUpdate || box.textSjis == kAskCancel) << box.text;
        }
        EXPECT_TRUE(before == Snapshot()); // temporary files gone, nothing replaced
    }
};

} // namespace

TEST_F(InterruptedE2E, CancelAnsweredNoLetsTheUpdateFinish) {
    bool enabledAfterNo = false;
    int pauses = 0;
    Scenario s;
    s.pauseAt = 2;
    bool buttonHadFocus = false;
    s.atPause = [&](ChildProcess* child, HWND dialog) {
        if (++pauses == 1) {
            // Space on the focused cancel button, as a keyboard user cancels.
            HWND focus = FocusWindow(*child);
            buttonHadFocus = focus == GetDlgItem(dialog, 1000);
            PressKey(focus ? focus : GetDlgItem(dialog, 1000), VK_SPACE);
        } else {
            enabledAfterNo = IsWindowEnabled(GetDlgItem(dialog, 1000)) != 0;
        }
    };
    HWND questionOwner = NULL;
    int defaultButton = 0;
    s.atCancelQuestion = [&](ChildProcess* child, const MessageBoxInfo& box) {
        questionOwner = box.owner;
        for (int id : {IDYES, IDNO}) {
            HWND b = GetDlgItem(box.window, id);
            if (b && (GetWindowLongW(b, GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON) defaultButton = id;
        }
        ArmPause(child, 4); // once more before the end, to look at the button
    };
    s.cancelAnswer = IDNO;
    Outcome o = RunPatch(patch, s);
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(0u, o.exitCode);
    ASSERT_EQ(3u, o.boxes.size());
    ExpectBox(o.boxes[1], "question", Options().title, kAskCancel);
    EXPECT_EQ(o.dialog, questionOwner);
    EXPECT_EQ(IDNO, defaultButton);
    EXPECT_EQ(2, pauses);
    EXPECT_TRUE(buttonHadFocus);
    EXPECT_TRUE(enabledAfterNo);
    ExpectBox(o.boxes[2], "information", Options().title, kUpdateDone);
    ExpectInstalled(entries);
}

TEST_F(InterruptedE2E, ConfirmedCancelEndsSilentlyWithNothingReplaced) {
    bool temporaryThere = false;
    Scenario s;
    HoldAfterFirstFile(&s, [&](ChildProcess*, HWND dialog) {
        temporaryThere = PathExists(install + "\\" + kDataPath + ".tmp");
        ClickButton(dialog, 1000);
    });
    s.cancelAnswer = IDYES;
    Outcome o = RunPatch(patch, s);
    EXPECT_TRUE(temporaryThere);
    ExpectSilentEnd(o, 0x80000006);
    EXPECT_EQ(2u, o.boxes.size());
    EXPECT_EQ(2u, TextsOf(o, 1001).size()); // stopped at the head of the next entry
}

TEST_F(InterruptedE2E, CloseAndQuitEndSilentlyAsClosed) {
    Scenario close;
    HoldAfterFirstFile(&close, [](ChildProcess*, HWND dialog) { PostClose(dialog); });
    Outcome closed = RunPatch(patch, close);
    ExpectSilentEnd(closed, 0x80000007);
    Scenario postQuit;
    HoldAfterFirstFile(&postQuit, [](ChildProcess* child, HWND) { PostQuit(*child); });
    Outcome quit = RunPatch(patch, postQuit);
    ExpectSilentEnd(quit, 0x80000007);
}

TEST_F(InterruptedE2E, CancelConfirmedThenClosedIsCancelled) {
    Scenario s;
    HoldAfterFirstFile(&s, [](ChildProcess*, HWND dialog) { ClickButton(dialog, 1000); });
    s.cancelAnswer = IDYES;
    s.afterCancelAnswer = [](ChildProcess* child) {
        // Queued behind the answer: handled by the same pump once the question is gone.
        PostClose(FindProgressDialog(child->pid));
    };
    Outcome o = RunPatch(patch, s);
    ExpectSilentEnd(o, 0x80000006);
}

TEST_F(InterruptedE2E, EscapeOkAndAltF4DoNothing) {
    Scenario s;
    s.pauseAt = 0; // before the first file
    s.atPause = [](ChildProcess* child, HWND dialog) {
        HWND focus = FocusWindow(*child);
        PressKey(focus ? focus : dialog, VK_ESCAPE);
        PostCommand(dialog, IDOK, 0);
        PostCommand(dialog, IDCANCEL, 0);
        PostSysCommand(dialog, SC_CLOSE);
        PostMessageW(dialog, WM_SYSKEYDOWN, VK_F4, 1 | (1 << 29)); // Alt+F4 as typed
    };
    Outcome o = RunPatch(patch, s);
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(0u, o.exitCode);
    ASSERT_EQ(2u, o.boxes.size());
    ExpectBox(o.boxes[1], "information", Options().title, kUpdateDone);
    ExpectInstalled(entries);
}

TEST_F(UpdateE2E, SecondInstanceEndsAtOnceAndSilently) {
    MakePatch(Options(), Entries(1000));
    std::string second = scratch.Join("update2.exe");
    ASSERT_TRUE(CopyFileA(patch.c_str(), second.c_str(), FALSE));

    DWORD secondExit = 0;
    bool secondExited = false;
    size_t secondWindows = 99;
    bool firstStillAsking = false;
    Scenario s;
    s.answer = Scenario::kNo;
    s.atFirstQuestion = [&](ChildProcess* first) {
        ChildProcess other;
        ASSERT_TRUE(StartProgram(second, &other));
        secondExited = WaitForExit(&other, 15000, &secondExit);
        secondWindows = ProcessWindows(other.pid).size();
        EndProgram(&other);
        firstStillAsking = OpenMessageBoxes(*first).size() == 1;
    };
    Outcome o = RunPatch(patch, s);
    EXPECT_TRUE(secondExited);
    EXPECT_EQ(kSecondInstanceExit, secondExit);
    EXPECT_EQ(0u, secondWindows);
    EXPECT_TRUE(firstStillAsking);
    EXPECT_EQ(0xFFFFFFFDu, o.exitCode); // the first one undisturbed
}

TEST_F(UpdateE2E, TitleBlockWithoutTerminatorEndsAtItsLastByte) {
    MakePatch(Options(), Entries(1000));
    Bytes bytes;
    ASSERT_TRUE(ReadBytes(patch, &bytes));
    std::fill(bytes.begin() + 0x70000, bytes.begin() + 0x70400, 'A');
    ASSERT_TRUE(WriteBytes(patch, bytes));
    Scenario s;
    s.answer = Scenario::kNo;
    Outcome o = RunPatch(patch, s);
    EXPECT_EQ(0xFFFFFFFDu, o.exitCode);
    ASSERT_EQ(1u, o.boxes.size());
    EXPECT_EQ(std::string(1023, 'A'), o.boxes[0].captionSjis);
}
