// setup.exe driven as a user would start it, with a fake installer that records
// how it was started. Each test builds a medium (base folder with setup.exe)
// and its own temporary folder, steered through TMP and TEMP. Wine enforces
// no ACL and has no junctions: what the private folder keeps out is tested
// through the removal's fake file system.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "setup_version.h"
#include "test_support.h"

namespace {

std::wstring Wide(const std::string& text, UINT codePage) {
    int units = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    if (units < 1) return std::wstring();
    std::wstring out(units, L'\0');
    MultiByteToWideChar(codePage, 0, text.c_str(), -1, &out[0], units);
    out.resize(units - 1);
    return out;
}

std::string Utf8(const std::wstring& w) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes < 1) return std::string();
    std::string out(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &out[0], bytes, nullptr, nullptr);
    out.resize(bytes - 1);
    return out;
}

// A build output path (host form) as Wine sees it.
std::wstring BuildFile(const char* hostPath) {
    std::wstring w = L"Z:" + Wide(hostPath, CP_UTF8);
    for (wchar_t& c : w)
        if (c == L'/') c = L'\\';
    return w;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The folder's path as the system resolves it, without the "\\?\" prefix:
// setup names its private folder that way.
std::wstring Resolved(const std::wstring& folder) {
    HANDLE h = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return folder;
    wchar_t path[2048];
    DWORD n = GetFinalPathNameByHandleW(h, path, 2048, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n == 0 || n >= 2048) return folder;
    std::wstring out = path;
    return out.compare(0, 4, L"\\\\?\\") == 0 ? out.substr(4) : out;
}

std::string ReadSmallFile(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "(missing)";
    char buffer[256];
    DWORD got = 0;
    ReadFile(h, buffer, sizeof buffer, &got, nullptr);
    CloseHandle(h);
    return std::string(buffer, got);
}

bool WriteSmallFile(const std::wstring& path, const char* text) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(h, text, (DWORD)strlen(text), &written, nullptr);
    CloseHandle(h);
    return ok != 0;
}

std::vector<std::wstring> List(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

// One run of the fake installer as it recorded it.
typedef std::map<std::string, std::string> Record;

std::vector<Record> ReadRecords(const std::wstring& logPath) {
    std::vector<Record> records;
    HANDLE h = CreateFileW(logPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return records;
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    CloseHandle(h);
    Record current;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line == "end") {
            records.push_back(current);
            current.clear();
            continue;
        }
        size_t eq = line.find('=');
        if (eq != std::string::npos) current[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return records;
}

// Sets an environment variable for the child processes, restoring it after.
struct ScopedEnv {
    ScopedEnv(const wchar_t* name, const std::wstring& value) : name_(name) {
        wchar_t old[2048];
        DWORD n = GetEnvironmentVariableW(name, old, 2048);
        had_ = n > 0 && n < 2048;
        if (had_) old_ = old;
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnv() { SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }
    const wchar_t* name_;
    bool had_;
    std::wstring old_;
};

const wchar_t kInstaller[] = L"KRNForInstalling.exe";
const DWORD kRunTimeoutMs = 60000;

class SetupRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch.path.empty());
        root = Wide(scratch.path, CP_ACP);
        base = root + L"\\メディア";
        temp = root + L"\\temp";
        log = root + L"\\installer.log";
        ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        setupExe = base + L"\\setup.exe";
        ASSERT_TRUE(CopyFileW(BuildFile(KRN_SETUP_EXE).c_str(), setupExe.c_str(), FALSE));
    }

    void PlaceInstaller(const std::wstring& folder) {
        ASSERT_TRUE(CopyFileW(BuildFile(KRN_FAKE_INSTALLER_EXE).c_str(),
                              (folder + L"\\" + kInstaller).c_str(), FALSE));
    }

    void MakeFolder(const std::wstring& path) {
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    }

    // Runs setup.exe with the given arguments; its exit code, or -1 when it
    // did not end in time.
    long Run(const std::wstring& arguments = L"", const std::wstring& program = L"") {
        std::wstring exe = program.empty() ? setupExe : program;
        ScopedEnv tmp(L"TMP", temp);
        ScopedEnv tempVar(L"TEMP", temp);
        ScopedEnv logVar(L"KRN_FAKE_LOG", log);
        ScopedEnv wait(L"KRN_FAKE_WAIT_MS", L"200");
        std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                            root.c_str(), &startup, &process)) {
            ADD_FAILURE() << "setup.exe did not start: " << GetLastError();
            return -1;
        }
        long result = -1;
        if (WaitForSingleObject(process.hProcess, kRunTimeoutMs) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            result = (long)code;
        } else {
            TerminateProcess(process.hProcess, 99);
            ADD_FAILURE() << "setup.exe did not end";
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return result;
    }

    // The private folder of the run, under the given name in the temporary folder.
    std::wstring RunFolder(const std::wstring& name = L"KRN_000000.tmp") {
        return Resolved(temp) + L"\\" + name;
    }

    // Exactly one installer run, from the copy in the run's private folder, for
    // the given folder: the command line in its fixed form, the private folder
    // as the current one, and that folder gone afterwards.
    void ExpectOneRun(const std::wstring& folder,
                      const std::wstring& runFolder = L"KRN_000000.tmp") {
        std::vector<Record> records = ReadRecords(log);
        ASSERT_EQ(records.size(), 1u);
        Record& r = records[0];
        std::wstring copy = RunFolder(runFolder) + L"\\KRN_000000.exe";
        EXPECT_EQ(r["cmdline"], Utf8(copy + L" \"" + folder + L"\" \"Execute as a launcher.\""));
        EXPECT_EQ(r["module"], Utf8(copy));
        EXPECT_EQ(r["cwd"], Utf8(RunFolder(runFolder)));
        EXPECT_FALSE(Exists(RunFolder(runFolder)));
    }

    ScratchFolder scratch;
    std::wstring root, base, temp, log, setupExe;
};

TEST_F(SetupRun, InstallerBesideSetupIsPreferredAndArgumentsChangeNothing) {
    PlaceInstaller(base);
    MakeFolder(base + L"\\Disc1");
    PlaceInstaller(base + L"\\Disc1");
    EXPECT_EQ(Run(L"/S /D=C:\\elsewhere \"Disc1\" --help"), 0);
    ExpectOneRun(base);
    // The copy is gone and the medium is as it was.
    EXPECT_TRUE(List(temp).empty());
    EXPECT_EQ(List(base).size(), 3u);
    EXPECT_EQ(List(base + L"\\Disc1").size(), 1u);
}

TEST_F(SetupRun, CopyCannotBeChangedWhileTheInstallerRuns) {
    PlaceInstaller(base);
    EXPECT_EQ(Run(), 0);
    std::vector<Record> records = ReadRecords(log);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["write_open"], "denied");
    EXPECT_EQ(records[0]["delete_open"], "denied");
    EXPECT_EQ(records[0]["rename"], "denied");
    EXPECT_TRUE(List(temp).empty());
}

TEST_F(SetupRun, SubFoldersAreSearchedOneLevelDownInEnumerationOrder) {
    // A folder with the installer's name is no candidate.
    MakeFolder(base + L"\\" + kInstaller);
    ASSERT_TRUE(WriteSmallFile(base + L"\\" + kInstaller + L"\\readme.txt", "not a program"));
    ASSERT_TRUE(WriteSmallFile(base + L"\\notes.txt", "a file, not a folder"));
    MakeFolder(base + L"\\A");
    MakeFolder(base + L"\\ディスク2");
    MakeFolder(base + L"\\C");
    PlaceInstaller(base + L"\\ディスク2");
    PlaceInstaller(base + L"\\C");
    // The expected one is whichever of the two the file system yields first.
    std::wstring first;
    for (const std::wstring& name : List(base)) {
        if (name == L"ディスク2" || name == L"C") {
            first = name;
            break;
        }
    }
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(Run(), 0);
    ExpectOneRun(base + L"\\" + first);
    EXPECT_TRUE(List(temp).empty());
}

TEST_F(SetupRun, InstallerTwoLevelsDownIsNotFound) {
    MakeFolder(base + L"\\Disc1");
    MakeFolder(base + L"\\Disc1\\Inner");
    PlaceInstaller(base + L"\\Disc1\\Inner");
    EXPECT_EQ(Run(), 0);
    EXPECT_FALSE(Exists(log));
    EXPECT_TRUE(List(temp).empty());
}

TEST_F(SetupRun, NothingAtTheNamesItTriesIsTouched) {
    PlaceInstaller(base);
    // What a process of the user may have put there: at the copy's name, at
    // the first names of the private folder, and a DLL for the installer.
    struct Planted {
        const wchar_t* name;
        const char* text; // null for a folder
        bool readOnly;
    } const planted[] = {
        {L"KRN_000000.exe", "old copy", true},
        {L"KRN_000000.tmp", nullptr, false},
        {L"KRN_000000.tmp\\KRN_000000.exe", "planted copy", true},
        {L"KRN_000000.tmp\\sub", nullptr, false},
        {L"KRN_000000.tmp\\sub\\b.txt", "b", false},
        {L"KRN_000001.tmp", "squatter", true},
        {L"version.dll", "not a DLL", false},
    };
    std::vector<DWORD> attributes;
    for (const Planted& p : planted) {
        std::wstring path = temp + L"\\" + p.name;
        if (p.text) {
            ASSERT_TRUE(WriteSmallFile(path, p.text));
            if (p.readOnly) {
                ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
            }
        } else {
            MakeFolder(path);
        }
        attributes.push_back(GetFileAttributesW(path.c_str()));
    }
    // One of them is held without sharing, as a running program would be.
    HANDLE locked = CreateFileW((temp + L"\\KRN_000000.exe").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Run(), 0);
    CloseHandle(locked);
    ExpectOneRun(base, L"KRN_000002.tmp");
    for (size_t i = 0; i < attributes.size(); i++) {
        const Planted& p = planted[i];
        std::wstring path = temp + L"\\" + p.name;
        SCOPED_TRACE(Utf8(p.name));
        EXPECT_EQ(GetFileAttributesW(path.c_str()), attributes[i]);
        if (p.text) {
            EXPECT_EQ(ReadSmallFile(path), p.text);
        }
    }
    EXPECT_EQ(List(temp).size(), 4u);
}

TEST_F(SetupRun, InstallerThatCannotStartIsLeftForRemovalAtRestart) {
    ASSERT_TRUE(WriteSmallFile(base + L"\\" + kInstaller, "not a program"));
    EXPECT_EQ(Run(), 0);
    // It stays in the private folder, which cannot go before it.
    std::wstring copy = RunFolder() + L"\\KRN_000000.exe";
    EXPECT_TRUE(Exists(copy));
    // The pending renames of the session manager name the copy with no target.
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            L"System\\CurrentControlSet\\Control\\Session Manager", 0,
                            KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    std::vector<wchar_t> value(65536);
    DWORD bytes = (DWORD)(value.size() * sizeof(wchar_t));
    LONG status = RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                                   (BYTE*)value.data(), &bytes);
    RegCloseKey(key);
    ASSERT_EQ(status, ERROR_SUCCESS);
    std::wstring pending(value.data(), bytes / sizeof(wchar_t));
    EXPECT_NE(pending.find(copy), std::wstring::npos);
}

TEST_F(SetupRun, BlankInTheTemporaryPathCannotStartADecoy) {
    // Unquoted, "...\tmp dir\KRN_000000.exe" would be looked up as "...\tmp"
    // first; a program planted there must never run.
    temp = root + L"\\tmp dir";
    MakeFolder(temp);
    ASSERT_TRUE(
        CopyFileW(BuildFile(KRN_FAKE_INSTALLER_EXE).c_str(), (root + L"\\tmp.exe").c_str(), FALSE));
    ASSERT_TRUE(
        CopyFileW(BuildFile(KRN_FAKE_INSTALLER_EXE).c_str(), (root + L"\\tmp").c_str(), FALSE));
    PlaceInstaller(base);
    EXPECT_EQ(Run(), 0);
    ExpectOneRun(base);
    EXPECT_TRUE(List(temp).empty());
}

TEST_F(SetupRun, SetupInADriveRootPassesTheBareDrive) {
    // Q: is a folder of the build, linked in by the test set-up; its root
    // holds no more than this test's two programs.
    const std::wstring setupAtRoot = L"Q:\\setup.exe";
    const std::wstring installerAtRoot = std::wstring(L"Q:\\") + kInstaller;
    if (GetFileAttributesW(L"Q:\\") == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "no drive Q: in this prefix";
    ASSERT_TRUE(CopyFileW(setupExe.c_str(), setupAtRoot.c_str(), FALSE));
    ASSERT_TRUE(
        CopyFileW(BuildFile(KRN_FAKE_INSTALLER_EXE).c_str(), installerAtRoot.c_str(), FALSE));
    long code = Run(L"", setupAtRoot);
    DeleteFileW(setupAtRoot.c_str());
    DeleteFileW(installerAtRoot.c_str());
    EXPECT_EQ(code, 0);
    ExpectOneRun(L"Q:");
}

TEST(SetupResources, VersionIconAndManifest) {
    std::wstring exe = BuildFile(KRN_SETUP_EXE);
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", (void**)&fixed, &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000002u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000002u);
    EXPECT_EQ(fixed->dwFileOS, (DWORD)VOS_NT_WINDOWS32);
    EXPECT_EQ(fixed->dwFileType, (DWORD)VFT_APP);
    WORD* translation = nullptr;
    ASSERT_TRUE(
        VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", (void**)&translation, &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0411);
    EXPECT_EQ(translation[1], 0x04B0);
    const struct {
        const wchar_t* key;
        const wchar_t* value;
    } strings[] = {{L"FileVersion", L"" SETUP_VERSION_TEXT},
                   {L"ProductVersion", L"" SETUP_VERSION_TEXT},
                   {L"OriginalFilename", L"Setup.exe"},
                   {L"CompanyName", nullptr},
                   {L"FileDescription", nullptr},
                   {L"LegalCopyright", nullptr}};
    for (const auto& s : strings) {
        std::wstring query = std::wstring(L"\\StringFileInfo\\041104B0\\") + s.key;
        wchar_t* value = nullptr;
        ASSERT_TRUE(VerQueryValueW(info.data(), query.c_str(), (void**)&value, &length))
            << Utf8(s.key);
        ASSERT_GT(length, 1u);
        if (s.value) {
            EXPECT_EQ(std::wstring(value), s.value);
        }
    }

    HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    // Icon group 101: 256 (as PNG), 48, 32 and 24, all 32-bit.
    HRSRC group = FindResourceW(image, MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(14));
    ASSERT_NE(group, nullptr);
    const unsigned char* dir = (const unsigned char*)LockResource(LoadResource(image, group));
    ASSERT_NE(dir, nullptr);
    ASSERT_EQ(dir[4] | dir[5] << 8, 4);
    const int widths[] = {0, 48, 32, 24};
    for (int i = 0; i < 4; i++) {
        const unsigned char* entry = dir + 6 + 14 * i; // GRPICONDIRENTRY
        EXPECT_EQ(entry[0], widths[i]);
        EXPECT_EQ(entry[6] | entry[7] << 8, 32);
        int id = entry[12] | entry[13] << 8;
        HRSRC icon = FindResourceW(image, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3));
        ASSERT_NE(icon, nullptr);
        const char* bits = (const char*)LockResource(LoadResource(image, icon));
        if (widths[i] == 0) {
            EXPECT_EQ(std::string(bits, 4), "\x89PNG");
        }
    }
    HRSRC manifest = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(manifest, nullptr);
    std::string xml((const char*)LockResource(LoadResource(image, manifest)),
                    SizeofResource(image, manifest));
    for (const char* needle :
         {"name=\"Setup\"", "version=\"1.0.0.0\"", "level=\"requireAdministrator\"",
          "uiAccess=\"false\"", ">True/PM<", "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
          "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
          "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(xml.find(needle), std::string::npos) << needle;
    FreeLibrary(image);
}

} // namespace
