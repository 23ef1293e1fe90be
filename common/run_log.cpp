// The support log's writer. Each line is handed to the system in one write
// before LogLine returns, so a crash loses at most the line being written.
// A run begins with a header line, the only kind of line that starts with
// '='; every other line starts with its timestamp. The file is kept under its
// bound by dropping whole runs, oldest first, at the start of a run.
#include "run_log.h"
#include "run_log_file.h"
#include "strbuf.h"
#include "text.h"
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

uint32_t gLogCallsLeft = kLogCallsUnlimited;

// One line at most, timestamp and line end included: a 1023-byte title fits.
const size_t kLineSize = 1536;
// The log's path and its trimming copy (path + ".new"); longer paths are not
// logged, as the A file calls take no more than MAX_PATH anyway.
const size_t kLogPathSize = 264;
const char kCopySuffix[] = ".new";
const char kRunMark = '=';
// Room held back from the bound for the cut notice and the closing line.
const uint32_t kReserve = 256;
// A run with less room than this is not logged at all.
const uint32_t kMinRoom = 1024;
const uint32_t kMinBound = 4 * kMinRoom;

// The open log of this run, or kNoLogFile. Set by OpenRunLog, cleared by
// CloseRunLog or by a failed write (after which lines could start mid-line).
static intptr_t gLog = kNoLogFile;
// Set by SetRunLogBound; read at the start of each run.
static uint32_t gBound = kRunLogDefaultBound;
// Bytes this run may still write; lines that do not fit are counted, not written.
static uint32_t gRoom;
static uint32_t gLeftOut;

// Counts one file call against the tests' crash point.
static bool Alive() {
    if (gLogCallsLeft == kLogCallsUnlimited) return true;
    if (gLogCallsLeft == 0) return false;
    gLogCallsLeft--;
    return true;
}

static void Emit(const char* data, size_t count) {
    if (gLog == kNoLogFile) return;
    if (Alive() && LogFileWrite(gLog, data, (uint32_t)count)) return;
    LogFileClose(gLog);
    gLog = kNoLogFile;
}

// "2026-12-08 15:12:01.123 " at the start of line; returns its length.
static size_t FormatStamp(char (&line)[kLineSize]) {
    LogTime t;
    LogLocalTime(&t);
    FormatText(line, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", t.year, t.month, t.day, t.hour,
               t.minute, t.second, t.milliseconds);
    return strlen(line);
}

// A short line of the log's own, written from the reserve whatever the room.
static void EmitStamped(const char* text) {
    char line[kLineSize];
    size_t start = FormatStamp(line);
    snprintf(line + start, kLineSize - start, "%s\r\n", text);
    Emit(line, strlen(line));
}

// Where to cut a log of size bytes so that the newest whole runs remain in a
// quarter of the bound: at the first run header at or after size - bound/4;
// failing that, at the newest header when its run fits in half the bound;
// else nothing is kept (size). Reads no more than half the bound.
static bool FindCut(intptr_t file, uint64_t size, uint64_t* cut) {
    uint64_t from = size - gBound / 2; // the caller trims only above half the bound
    uint64_t target = size - gBound / 4;
    // '\n' and '=' are never Shift-JIS trail bytes, so this pair is a line start.
    char prev = '\n';
    if (from > 0 && (!Alive() || LogFileReadAt(file, from - 1, &prev, 1) != 1)) return false;
    *cut = size;
    char chunk[4096];
    for (uint64_t at = from; at < size;) {
        uint32_t want = size - at < sizeof chunk ? (uint32_t)(size - at) : sizeof chunk;
        uint32_t got = Alive() ? LogFileReadAt(file, at, chunk, want) : 0;
        if (got == 0) return false;
        for (uint32_t i = 0; i < got; i++) {
            if (prev == '\n' && chunk[i] == kRunMark) {
                *cut = at + i;
                if (at + i >= target) return true;
            }
            prev = chunk[i];
        }
        at += got;
    }
    return true;
}

// Copies [start, end) of from into a new flushed file at path.
static bool CopyTail(intptr_t from, uint64_t start, uint64_t end, const char* path) {
    if (!Alive()) return false;
    intptr_t to = LogFileCreate(path);
    if (to == kNoLogFile) return false;
    char chunk[4096];
    bool ok = true;
    for (uint64_t at = start; ok && at < end;) {
        uint32_t want = end - at < sizeof chunk ? (uint32_t)(end - at) : sizeof chunk;
        uint32_t got = Alive() ? LogFileReadAt(from, at, chunk, want) : 0;
        ok = got > 0 && Alive() && LogFileWrite(to, chunk, got);
        at += got;
    }
    ok = ok && Alive() && LogFileFlush(to);
    LogFileClose(to);
    if (!ok && Alive()) LogFileDelete(path);
    return ok;
}

// Reads the log's size and whether it ends a line, dropping the oldest runs
// first when it has grown past half its bound. The kept runs go to a flushed
// copy that is renamed over the log, so a crash anywhere leaves the old log or
// the trimmed one, the newest runs whole in both. False when the log exists
// but cannot be read; a missing log counts as empty.
static bool PrepareLog(const char* path, uint64_t* size, bool* endsLine) {
    *size = 0;
    *endsLine = true;
    char copy[kLogPathSize];
    if (!FormatText(copy, "%s%s", path, kCopySuffix)) return false;
    // Left by a trim that died; fails harmlessly while another run trims.
    if (Alive()) LogFileDelete(copy);
    if (!Alive()) return false;
    intptr_t file = LogFileOpenRead(path);
    if (file == kNoLogFile) return true;
    bool ok = Alive() && LogFileSize(file, size);
    if (ok && *size > 0) {
        char last = 0;
        ok = Alive() && LogFileReadAt(file, *size - 1, &last, 1) == 1;
        *endsLine = last == '\n';
    }
    uint64_t cut = 0;
    if (ok && *size > gBound / 2 && FindCut(file, *size, &cut) && cut > 0 &&
        CopyTail(file, cut, *size, copy)) {
        LogFileClose(file); // a file held open cannot be replaced
        file = kNoLogFile;
        if (Alive() && LogFileReplace(copy, path)) {
            *size -= cut;
            if (*size == 0) *endsLine = true;
        } else if (Alive()) {
            LogFileDelete(copy);
        }
    }
    if (file != kNoLogFile) LogFileClose(file);
    return ok;
}

static void StartRun(const char* path) {
    uint64_t size;
    bool endsLine;
    // Not trimmed (another run holds the file) and nearly full: skip this run.
    if (!PrepareLog(path, &size, &endsLine) || size + kMinRoom > gBound) return;
    if (!Alive()) return;
    gLog = LogFileOpenAppend(path);
    if (gLog == kNoLogFile) return;
    gRoom = (uint32_t)(gBound - size) - kReserve;
    gLeftOut = 0;
    // A run that died mid-line left that line open; the header needs its own.
    if (!endsLine) Emit("\r\n", 2);
    LogTime t;
    LogLocalTime(&t);
    char line[kLineSize];
    FormatText(line, "%c==== run started %04u-%02u-%02u %02u:%02u:%02u, process %u =====\r\n",
               kRunMark, t.year, t.month, t.day, t.hour, t.minute, t.second, LogProcessId());
    size_t length = strlen(line);
    gRoom -= (uint32_t)length;
    Emit(line, length);
}

void OpenRunLog(const char* path) {
    if (gLog != kNoLogFile) CloseRunLog();
    if (!path || !path[0]) return;
    uint32_t saved = SaveErrorState();
    StartRun(path);
    RestoreErrorState(saved);
}

void LogLine(const char* format, ...) {
    if (gLog == kNoLogFile || !format) return;
    uint32_t saved = SaveErrorState();
    char line[kLineSize];
    size_t start = FormatStamp(line);
    const char kCut[] = "...";
    // Room for the text, then "..." and CR LF, or CR LF and the NUL.
    size_t room = kLineSize - start - (sizeof kCut - 1) - 2;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line + start, room, format, args);
    va_end(args);
    size_t end = start;
    if (n < 0) {
        line[start] = 0;
    } else if ((size_t)n < room) {
        end = start + (size_t)n;
    } else {
        // Keep whole characters only.
        size_t limit = start + room - 1;
        while (end < limit && line[end]) {
            bool lead = IsLeadByte((unsigned char)line[end]);
            if (lead && !line[end + 1]) break; // its trail byte was cut off
            end += lead ? 2 : 1;
        }
        memcpy(line + end, kCut, sizeof kCut - 1);
        end += sizeof kCut - 1;
    }
    // One line a call, whatever the text holds; control bytes are never trail bytes.
    for (size_t i = start; i < end; i++)
        if ((unsigned char)line[i] < 0x20) line[i] = ' ';
    line[end++] = '\r';
    line[end++] = '\n';
    if (end <= gRoom) {
        gRoom -= (uint32_t)end;
        Emit(line, end);
    } else if (gLeftOut++ == 0) {
        EmitStamped("(the log is full: the rest of this run is left out)");
    }
    RestoreErrorState(saved);
}

void CloseRunLog() {
    if (gLog == kNoLogFile) return;
    uint32_t saved = SaveErrorState();
    char text[96];
    if (gLeftOut)
        FormatText(text, "run ended; %u lines were left out", gLeftOut);
    else
        CopyText(text, "run ended");
    EmitStamped(text);
    if (gLog != kNoLogFile) LogFileClose(gLog);
    gLog = kNoLogFile;
    RestoreErrorState(saved);
}

void SetRunLogBound(uint32_t bytes) {
    gBound = bytes < kMinBound ? kMinBound : bytes;
}
