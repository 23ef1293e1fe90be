// FileObject, the file-system calls and the fault seam, on the platform layer
// the build links (POSIX natively, Win32 under Wine).
#include "file_faults.h"
#include "file_object.h"
#include "file_system.h"
#include "test_support.h"
#include <gtest/gtest.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Restores the fault seam even when an assertion leaves the test early.
struct FaultScope {
    FileFaults faults{};
    FaultScope() { gFileFaults = &faults; }
    ~FaultScope() { gFileFaults = nullptr; }
};

TEST(FileObject, StatesAndClosedObject) {
    ScratchFolder dir;
    std::string missing = dir.Join("missing.bin");
    std::string a = dir.Join("a.bin"), b = dir.Join("b.bin");
    ASSERT_TRUE(WriteText(a, "first"));
    ASSERT_TRUE(WriteText(b, "second"));

    FileObject f;
    EXPECT_FALSE(f.IsOpen());
    // A closed object: the system refuses everything, as results only.
    char buf[16];
    EXPECT_EQ(0u, f.Read(buf, sizeof(buf)));
    EXPECT_EQ(0u, f.Write("x", 1));
    EXPECT_FALSE(f.Seek(0));
    EXPECT_EQ(kInvalidSize, f.GetSize());
    EXPECT_FALSE(f.Flush());

    EXPECT_FALSE(f.OpenRead(missing.c_str()));
    EXPECT_FALSE(f.IsOpen());
    // The same object can still create after a failed open.
    ASSERT_TRUE(f.Create(missing.c_str()));
    f.Close();
    EXPECT_TRUE(PathExists(missing));

    // A second open on an open object fails and keeps the first file usable.
    ASSERT_TRUE(f.OpenRead(a.c_str()));
    EXPECT_FALSE(f.OpenRead(b.c_str()));
    EXPECT_FALSE(f.Create(b.c_str()));
    EXPECT_EQ("second", ReadText(b));
    EXPECT_EQ(5u, f.Read(buf, sizeof(buf)));
    EXPECT_EQ(0, memcmp(buf, "first", 5));
    f.Close();
    f.Close();
    EXPECT_FALSE(f.IsOpen());
}

TEST(FileObject, ReadWriteSeekAndSize) {
    ScratchFolder dir;
    std::string path = dir.Join("data.bin");
    ASSERT_TRUE(WriteText(path, "old contents that must go"));
    Bytes pattern = PatternBytes(100000, 7);
    {
        FileObject f;
        ASSERT_TRUE(f.Create(path.c_str()));
        EXPECT_EQ(0u, f.GetSize()); // an existing file is truncated
        EXPECT_EQ((uint32_t)pattern.size(), f.Write(pattern.data(), (uint32_t)pattern.size()));
        EXPECT_TRUE(f.Flush());
    }
    Bytes back;
    ASSERT_TRUE(ReadBytes(path, &back));
    EXPECT_EQ(pattern, back);

    FileObject f;
    ASSERT_TRUE(f.OpenRead(path.c_str()));
    EXPECT_EQ(100000u, f.GetSize());
    unsigned char buf[64];
    ASSERT_TRUE(f.Seek(99990));
    EXPECT_EQ(10u, f.Read(buf, sizeof(buf))); // short at the end, no loop
    EXPECT_EQ(0, memcmp(buf, pattern.data() + 99990, 10));
    EXPECT_EQ(0u, f.Read(buf, sizeof(buf))); // end of file reads as 0
    ASSERT_TRUE(f.Seek(5));
    EXPECT_EQ(64u, f.Read(buf, sizeof(buf)));
    EXPECT_EQ(0, memcmp(buf, pattern.data() + 5, 64));
    // Beyond the end is a valid position; a read there gives nothing.
    EXPECT_TRUE(f.Seek(200000));
    EXPECT_EQ(0u, f.Read(buf, sizeof(buf)));
    EXPECT_TRUE(f.Seek(0x7FFFFFFFu));
    // The top bit set would be a move before the start.
    EXPECT_FALSE(f.Seek(0x80000000u));
    EXPECT_FALSE(f.Seek(0xFFFFFFFFu));
    EXPECT_EQ(100000u, f.GetSize());
}

TEST(FileObject, ShiftJisPathsWithBackslashTrailBytes) {
    ScratchFolder dir;
    // "ソ" and "表" end in 0x5C: taken for a separator they would split the name.
    std::string folderName = Sjis("ソフト表");
    std::string fileName = Sjis("表示ソ.arc");
    std::string folder = dir.Join(folderName);
    ASSERT_TRUE(MakeFolder(folder));
    std::string path = folder + "\\" + fileName;
    FileObject f;
    ASSERT_TRUE(f.Create(path.c_str()));
    EXPECT_EQ(3u, f.Write("abc", 3));
    f.Close();
    EXPECT_EQ(std::vector<std::string>{fileName}, ListFolder(folder));
    EXPECT_EQ("abc", ReadText(path));
    uint32_t attributes = GetPathAttributes(folder.c_str());
    ASSERT_NE(kInvalidAttributes, attributes);
    EXPECT_TRUE(attributes & kAttrDirectory);
}

TEST(FileSystem, AttributesMoveDelete) {
    ScratchFolder dir;
    std::string a = dir.Join("a.txt"), b = dir.Join("b.txt"), missing = dir.Join("none");
    ASSERT_TRUE(WriteText(a, "new"));
    ASSERT_TRUE(WriteText(b, "old"));

    EXPECT_EQ(kInvalidAttributes, GetPathAttributes(missing.c_str()));
    uint32_t fileAttributes = GetPathAttributes(a.c_str());
    ASSERT_NE(kInvalidAttributes, fileAttributes);
    EXPECT_FALSE(fileAttributes & (kAttrDirectory | kAttrReadOnly));
    EXPECT_TRUE(GetPathAttributes(dir.path.c_str()) & kAttrDirectory);

    ASSERT_TRUE(SetPathAttributes(a.c_str(), kAttrReadOnly));
    EXPECT_TRUE(GetPathAttributes(a.c_str()) & kAttrReadOnly);
    ASSERT_TRUE(SetPathAttributes(a.c_str(), kAttrNormal));
    EXPECT_FALSE(GetPathAttributes(a.c_str()) & kAttrReadOnly);
    EXPECT_FALSE(SetPathAttributes(missing.c_str(), kAttrNormal));

    ASSERT_TRUE(MoveReplace(a.c_str(), b.c_str()));
    EXPECT_FALSE(PathExists(a));
    EXPECT_EQ("new", ReadText(b));
    EXPECT_FALSE(MoveReplace(missing.c_str(), b.c_str()));

    EXPECT_TRUE(DeletePath(b.c_str()));
    EXPECT_FALSE(PathExists(b));
    EXPECT_FALSE(DeletePath(b.c_str()));

    char self[260];
    ASSERT_TRUE(GetOwnModulePath(self, sizeof(self)));
    EXPECT_NE(nullptr, strstr(self, "unit_tests"));
    EXPECT_NE(kInvalidAttributes, GetPathAttributes(self));
    char tiny[4];
    EXPECT_FALSE(GetOwnModulePath(tiny, sizeof(tiny)));
}

#ifndef _WIN32
// Windows refuses to overwrite, replace or delete a read-only file; the POSIX
// layer does the same even for root, so the native tests see that behaviour.
TEST(FileSystem, ReadOnlyFilesRefuseChangesNatively) {
    ScratchFolder dir;
    std::string locked = dir.Join("locked.txt"), source = dir.Join("source.txt");
    ASSERT_TRUE(WriteText(locked, "keep"));
    ASSERT_TRUE(WriteText(source, "new"));
    ASSERT_TRUE(SetPathAttributes(locked.c_str(), kAttrReadOnly));
    FileObject f;
    EXPECT_FALSE(f.Create(locked.c_str()));
    EXPECT_FALSE(MoveReplace(source.c_str(), locked.c_str()));
    EXPECT_FALSE(DeletePath(locked.c_str()));
    EXPECT_EQ("keep", ReadText(locked));
    ASSERT_TRUE(f.OpenRead(locked.c_str())); // reading is fine
    f.Close();
    ASSERT_TRUE(SetPathAttributes(locked.c_str(), kAttrNormal));
    EXPECT_TRUE(MoveReplace(source.c_str(), locked.c_str()));
}
#endif

TEST(FileFaultsSeam, EachFaultHitsOnlyItsOperation) {
    ScratchFolder dir;
    std::string plain = dir.Join("plain.bin"), target = dir.Join("target.lst");
    ASSERT_TRUE(WriteText(plain, "p"));
    FaultScope scope;
    scope.faults.failOpenRead = "plain";
    scope.faults.failCreate = ".lst";
    scope.faults.failMove = "target";
    scope.faults.shortWriteAt = 2;
    scope.faults.failFlushAt = 1;

    FileObject f;
    EXPECT_FALSE(f.OpenRead(plain.c_str()));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(f.Create(target.c_str()));
    EXPECT_FALSE(PathExists(target));
    EXPECT_FALSE(MoveReplace(plain.c_str(), target.c_str()));
    EXPECT_TRUE(PathExists(plain));

    std::string other = dir.Join("other.bin");
    ASSERT_TRUE(f.Create(other.c_str()));
    EXPECT_EQ(8u, f.Write("12345678", 8));
    EXPECT_EQ(4u, f.Write("12345678", 8)); // the second write moves half
    EXPECT_EQ(8u, f.Write("12345678", 8));
    EXPECT_FALSE(f.Flush());
    EXPECT_TRUE(f.Flush());
    f.Close();
    EXPECT_EQ(3u, scope.faults.writes);
    EXPECT_EQ(2u, scope.faults.flushes);
    EXPECT_EQ("12345678123412345678", ReadText(other));
}

#ifdef _WIN32
// The share modes are real locks under Windows: a file held for reading
// cannot be written or deleted by another opener; one being created cannot
// be opened at all.
TEST(FileObjectWin32, ShareModesLockOthersOut) {
    ScratchFolder dir;
    std::string path = dir.Join("held.bin");
    ASSERT_TRUE(WriteText(path, "held"));
    {
        FileObject reader;
        ASSERT_TRUE(reader.OpenRead(path.c_str()));
        HANDLE w = CreateFileA(path.c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, 0, NULL);
        EXPECT_EQ(INVALID_HANDLE_VALUE, w);
        if (w != INVALID_HANDLE_VALUE) CloseHandle(w);
        EXPECT_FALSE(DeleteFileA(path.c_str()));
        FileObject writer;
        EXPECT_FALSE(writer.Create(path.c_str()));
        FileObject secondReader; // reading alongside is allowed
        EXPECT_TRUE(secondReader.OpenRead(path.c_str()));
    }
    {
        FileObject writer;
        ASSERT_TRUE(writer.Create(path.c_str()));
        HANDLE r = CreateFileA(path.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, 0, NULL);
        EXPECT_EQ(INVALID_HANDLE_VALUE, r);
        if (r != INVALID_HANDLE_VALUE) CloseHandle(r);
        FileObject reader;
        EXPECT_FALSE(reader.OpenRead(path.c_str()));
        EXPECT_FALSE(DeleteFileA(path.c_str()));
    }
    EXPECT_TRUE(DeleteFileA(path.c_str()));
}
#endif

} // namespace
