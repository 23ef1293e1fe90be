// Text library shared by update and setup: tells UTF-8 from Shift-JIS, converts
// through UTF-16, and walks narrow text a whole character at a time so that a
// Shift-JIS trail byte (0x40-0x7E, 0x5C among them) is never taken for ASCII.
#pragma once
#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
typedef wchar_t WideChar; // the Win32 WCHAR, so W calls take it as is
#else
typedef char16_t WideChar; // 16-bit like WCHAR, for the native build
#endif

typedef uint32_t TextKind;
const TextKind TEXT_MBCS = 0;           // not well-formed UTF-8: taken as Shift-JIS
const TextKind TEXT_UTF8 = 1;           // UTF-8 with at least one multi-byte sequence
const TextKind TEXT_ASCII = 0x80000000; // empty, or only bytes below 0x80

const uint32_t kCodePageSjis = 932;
const uint32_t kCodePageUtf8 = 65001;

// Targets of ToMultiByte.
const int kTargetSjis = 0;
const int kTargetUtf8 = 1;

TextKind ClassifyText(const char* s);
bool IsLeadByte(unsigned char b);
// 0x40-0x7E and 0x80-0xFC: the bytes that may follow a lead byte.
bool IsTrailByte(unsigned char b);
// Code point of the UTF-8 sequence at p; *length gets its byte count (never past the NUL).
uint32_t DecodeUtf8(const char* p, uint32_t* length);
// Value of the character at p under kind; *length gets its byte count.
uint32_t NextChar(const char* p, TextKind kind, uint32_t* length);

// Allocating forms: a new string the caller releases with free(), or null on failure.
WideChar* ToWide(const char* s);
char* ToMultiByte(const WideChar* w, int target);
// Caller-buffer forms: false, with dst[0] = 0, when the result does not fit or
// the conversion fails; never writes past capacity.
bool ToWide(WideChar* dst, size_t dstUnits, const char* s);
bool ToMultiByte(char* dst, size_t dstBytes, const WideChar* w, int target);
template <size_t N> bool ToWide(WideChar (&dst)[N], const char* s) {
    return ToWide(dst, N, s);
}
template <size_t N> bool ToMultiByte(char (&dst)[N], const WideChar* w, int target) {
    return ToMultiByte(dst, N, w, target);
}

// True when all of s is well-formed UTF-8: no stray or missing trail byte, no
// overlong form, no surrogate, nothing above U+10FFFF. Unlike ClassifyText it
// reads the whole string.
bool IsWholeUtf8(const char* s);
// Converts the UTF-8 text s to code page 932 only when every character has a
// form there that decodes back to it: 1 with *out a new string the caller
// frees, 0 when some character has none (*out null), -1 on failure.
int Utf8ToSjisExact(const char* s, char** out);

// Lowers single-byte A-Z in place, stepping over multi-byte characters. Returns s.
char* LowerAscii(char* s);
// First character of s whose value is v, or null. A value below 0x80 matches
// only its own byte, never a malformed UTF-8 sequence that decodes to it.
const char* FindChar(const char* s, uint32_t v);

// Name matching lowercase for Shift-JIS file names: single-byte A-Z, and the
// full-width Latin, Greek and Cyrillic capitals as whole characters; a trail
// byte is never changed on its own. In place; returns s.
char* LowerName(char* s);

// The last '\\' or '/' of a Shift-JIS path, or null; a trail byte 0x5C is
// part of its character, not a separator.
char* LastSeparator(char* path);

// Length in units of a NUL-terminated UTF-16 string.
size_t WideLength(const WideChar* w);

// The platform's code-page services, in the shape of MultiByteToWideChar and
// WideCharToMultiByte with input length -1: the result counts the terminator;
// a null dst asks for the length; 0 means failure (or no room in dst).
int MultiByteToWide(uint32_t codePage, const char* s, WideChar* dst, int dstUnits);
int WideToMultiByte(uint32_t codePage, const WideChar* w, char* dst, int dstBytes);
