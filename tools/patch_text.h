// Text for the maintainer tool: whole-string conversion, the strict one
// between its UTF-8 and the package's code page 932, and the small formatters
// of its reports.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

#include "text.h"

// Whole-string conversion through the text library's code-page services.
// w gets the text with its NUL; false (and nothing usable) on failure.
bool TextToWide(uint32_t codePage, const std::string& s, std::vector<WideChar>* w);
bool WideToText(uint32_t codePage, const WideChar* w, std::string* s);

// UTF-8 to Shift-JIS; false with a reason naming the first character that
// code page 932 cannot hold (or the malformed input). Never substitutes.
bool Utf8ToSjis(const std::string& utf8, std::string* sjis, std::string* reason);
// Shift-JIS to UTF-8 for display; bytes that do not decode appear as \xNN.
std::string SjisToUtf8(const std::string& sjis);
// Printable ASCII as is; quotes and every other byte as \xNN.
std::string EscapedBytes(const std::string& bytes);
// Lowercase hex, bytes in storage order.
std::string HexBytes(const unsigned char* bytes, size_t count);
// 1234567 -> "1,234,567".
std::string GroupDigits(uint64_t value);
