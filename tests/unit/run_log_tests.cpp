// The support log's writer on the platform layer the build links: bounds and
// trimming at run boundaries, lines kept whole, a crash at every call of a
// trim, and logs that cannot be written.
#include "file_object.h"
#include "file_system.h"
#include "run_log.h"
#include "run_log_file.h"
#include "test_support.h"
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const size_t kStampLength = 24; // "2026-12-08 15:12:01.123 "

// The thread's last-error value as the program sees it.
uint32_t LastError() {
#ifdef _WIN32
    return GetLastError();
#else
    return (uint32_t)errno;
#endif
}
void SetError(uint32_t value) {
#ifdef _WIN32
    SetLastError(value);
#else
    errno = (int)value;
#endif
}

// Puts the bound and the crash point back whatever the test did.
struct LogScope {
    ~LogScope() {
        CloseRunLog();
        gLogCallsLeft = kLogCallsUnlimited;
        SetRunLogBound(kRunLogDefaultBound);
    }
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    if (at < text.size()) lines.push_back(text.substr(at)); // unfinished
    return lines;
}

bool IsHeader(const std::string& line) {
    return line.compare(0, 20, "===== run started 20") == 0;
}

bool IsStamped(const std::string& line) {
    const char* shape = "dddd-dd-dd dd:dd:dd.ddd ";
    if (line.size() < kStampLength) return false;
    for (size_t i = 0; i < kStampLength; i++)
        if (shape[i] == 'd' ? !isdigit((unsigned char)line[i]) : line[i] != shape[i]) return false;
    return true;
}

// Every line whole and of a known kind, the file beginning with a header.
void ExpectWellFormed(const std::string& text) {
    if (text.empty()) return;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    std::vector<std::string> lines = Lines(text);
    EXPECT_TRUE(IsHeader(lines[0])) << lines[0];
    for (const std::string& line : lines)
        EXPECT_TRUE(IsHeader(line) || IsStamped(line)) << line;
}

void WriteRun(const std::string& path, int run, int lines, size_t width) {
    OpenRunLog(path.c_str());
    for (int i = 0; i < lines; i++)
        LogLine("run %d line %d %s", run, i, std::string(width, 'x').c_str());
    CloseRunLog();
}

TEST(RunLog, KeepsNewestWholeRunsUnderItsBound) {
    struct Case {
        uint32_t bound;
        int runs, lines;
        size_t width;
        bool trims; // older runs must have gone by the end
    } cases[] = {
        {4096, 40, 5, 30, true},  // trimmed many times
        {4096, 4, 300, 30, true}, // each run alone overflows its room
        {8192, 6, 3, 1200, true}, // long lines
        {kRunLogDefaultBound, 5, 20, 60, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "bound " << c.bound << ", lines " << c.lines);
        LogScope scope;
        ScratchFolder dir;
        std::string path = dir.Join("KRNUpdate.log");
        SetRunLogBound(c.bound);
        for (int run = 0; run < c.runs; run++) {
            WriteRun(path, run, c.lines, c.width);
            std::string text = ReadText(path);
            ASSERT_LE(text.size(), c.bound);
            ExpectWellFormed(text);
            // Runs in order up to this one, each from its first line to its end.
            int expectRun = -1, expectLine = 0;
            for (const std::string& line : Lines(text)) {
                int r, i;
                if (IsHeader(line)) {
                    if (expectRun >= 0) {
                        EXPECT_EQ(expectLine, -1) << "run cut short";
                    }
                    expectRun = expectRun < 0 ? -1 : expectRun + 1;
                    expectLine = 0;
                } else if (sscanf(line.c_str() + kStampLength, "run %d line %d", &r, &i) == 2) {
                    if (expectRun < 0) expectRun = r;
                    EXPECT_EQ(r, expectRun);
                    EXPECT_EQ(i, expectLine++);
                } else if (line.compare(kStampLength, 9, "run ended") == 0) {
                    bool cut = expectLine < c.lines;
                    EXPECT_EQ(cut, line.find("lines were left out") != std::string::npos);
                    expectLine = -1;
                }
            }
            EXPECT_EQ(expectRun, run);
            EXPECT_EQ(expectLine, -1);
            // By the end the oldest run is gone exactly when the bound forced it.
            bool firstKept = text.find("run 0 line 0 ") != std::string::npos;
            if (run == c.runs - 1) {
                EXPECT_EQ(firstKept, !c.trims);
            }
        }
        EXPECT_EQ(ListFolder(dir.path), std::vector<std::string>{"KRNUpdate.log"});
    }
}

TEST(RunLog, CrashAtAnyCallOfATrimKeepsTheNewestRuns) {
    LogScope scope;
    ScratchFolder dir;
    std::string path = dir.Join("KRNUpdate.log");
    SetRunLogBound(4096);
    for (int run = 0; ReadText(path).size() <= 2048; run++)
        WriteRun(path, run, 4, 40);
    const std::string before = ReadText(path);
    std::vector<size_t> runStarts;
    for (size_t at = 0; at != std::string::npos; at = before.find("\r\n=", at + 1))
        runStarts.push_back(at == 0 ? 0 : at + 2);

    uint32_t stop = 0, trimmed = 0;
    for (;; stop++) {
        SCOPED_TRACE(testing::Message() << "stopped after " << stop << " calls");
        ASSERT_TRUE(WriteText(path, before));
        gLogCallsLeft = stop;
        WriteRun(path, 99, 2, 10);
        bool finished = gLogCallsLeft > 0;
        gLogCallsLeft = kLogCallsUnlimited;
        std::string after = ReadText(path);
        // The old log, or its newest whole runs; then nothing or the new run's start.
        bool kept = false;
        for (size_t start : runStarts) {
            std::string tail = before.substr(start);
            if (after.compare(0, tail.size(), tail) == 0 &&
                (after.size() == tail.size() || after[tail.size()] == '=')) {
                kept = true;
                trimmed += start > 0;
            }
        }
        EXPECT_TRUE(kept) << after;
        // The next run finds a sound log and leaves no copy behind.
        WriteRun(path, 100, 1, 10);
        std::string next = ReadText(path);
        ExpectWellFormed(next);
        EXPECT_LE(next.size(), 4096u);
        EXPECT_NE(next.find("run 100 line 0"), std::string::npos);
        EXPECT_EQ(ListFolder(dir.path), std::vector<std::string>{"KRNUpdate.log"});
        if (finished) break;
    }
    EXPECT_GT(trimmed, 0u); // the stops reached past the rename too
    printf("crash points tried: %u\n", stop + 1);
}

// Each line reaches the system before LogLine returns, intact and alone on its
// line; a line left unfinished by a crash does not swallow the next header.
TEST(RunLog, EachLineWholeAndAtOnce) {
    const std::string ascii(2000, 'A');
    std::string sjis = "x"; // then "ア" a thousand times, so the cut falls inside one
    for (int i = 0; i < 1000; i++)
        sjis += "\x83\x41";
    struct Case {
        std::string text, expect;
    } cases[] = {
        {"plain text", "plain text"},
        {"two\r\nlines\tand a tab", "two  lines and a tab"},
        {"===== run started 2000 (not a header)", "===== run started 2000 (not a header)"},
        {ascii, ascii.substr(0, 1536 - kStampLength - 6) + "..."},
        {sjis, sjis.substr(0, 1536 - kStampLength - 7) + "..."}, // whole characters
    };
    LogScope scope;
    ScratchFolder dir;
    std::string path = dir.Join("KRNUpdate.log");
    ASSERT_TRUE(WriteText(path, "2026-01-01 00:00:00.000 a line cut by a cr"));
    OpenRunLog(path.c_str());
    for (const Case& c : cases) {
        LogLine("%s", c.text.c_str());
        std::vector<std::string> lines = Lines(ReadText(path)); // before any close
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[0], "2026-01-01 00:00:00.000 a line cut by a cr");
        EXPECT_TRUE(IsHeader(lines[1]));
        EXPECT_EQ(lines.back().substr(kStampLength), c.expect);
    }
    CloseRunLog();
    std::string text = ReadText(path);
    EXPECT_EQ(Lines(text).size(), 3 + sizeof cases / sizeof cases[0]);
    EXPECT_NE(Lines(text).back().find("run ended"), std::string::npos);
}

// A log that cannot be written is skipped, and no call changes the caller's
// last-error value, whether the log works or not.
TEST(RunLog, UnwritableLogIsHarmless) {
    LogScope scope;
    ScratchFolder dir;
    const std::string good = dir.Join("KRNUpdate.log");
    const std::string missingFolder = dir.Join("missing\\KRNUpdate.log");
    const std::string tooLong = dir.Join(std::string(300, 'n'));
    struct Case {
        const char* path;
        bool written;
    } cases[] = {
        {nullptr, false},          {"", false},          {missingFolder.c_str(), false},
        {dir.path.c_str(), false}, // a folder
        {tooLong.c_str(), false},  {good.c_str(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path ? c.path : "(null)");
        SetError(1234);
        OpenRunLog(c.path);
        EXPECT_EQ(LastError(), 1234u);
        LogLine("a line %d", 1);
        EXPECT_EQ(LastError(), 1234u);
        CloseRunLog();
        EXPECT_EQ(LastError(), 1234u);
        EXPECT_EQ(PathExists(good), c.written);
        EXPECT_EQ(ListFolder(dir.path).size(), c.written ? 1u : 0u);
    }
    EXPECT_NE(ReadText(good).find("a line 1"), std::string::npos);
}

// The holder of a file held open without sharing: this process, where the
// system can tell (the Restart Manager of Windows); no name where it cannot.
// Either way the caller's last error stays.
TEST(RunLog, HolderOfAHeldFile) {
    ScratchFolder dir;
    std::string path = dir.Join("held.arc");
    FileObject held;
    ASSERT_TRUE(held.Create(path.c_str()));
    char name[256];
    memset(name, 'x', sizeof name);
    SetError(1234);
    bool found = DescribeFileHolder(path.c_str(), name, sizeof name);
    EXPECT_EQ(LastError(), 1234u);
    printf("holder of a held file: %s\n", found ? name : "(not named)");
    if (found) {
        char own[32];
        snprintf(own, sizeof own, "(process %u)", LogProcessId());
        EXPECT_NE(strstr(name, own), nullptr) << name;
    } else {
        EXPECT_EQ(name[0], 0);
    }
}

} // namespace
