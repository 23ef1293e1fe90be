// Strict UTF-8 <-> code page 932 conversion through the text library's
// code-page services, checked by converting back: a best-fit or default
// character would otherwise slip into a title or a file name unnoticed.
#include "patch_text.h"

#include <stdio.h>

bool TextToWide(uint32_t codePage, const std::string& s, std::vector<WideChar>* w) {
    w->clear();
    if (s.empty()) {
        w->push_back(0);
        return true;
    }
    int n = MultiByteToWide(codePage, s.c_str(), nullptr, 0);
    if (n <= 0) return false;
    w->resize((size_t)n);
    return MultiByteToWide(codePage, s.c_str(), w->data(), n) == n;
}

bool WideToText(uint32_t codePage, const WideChar* w, std::string* s) {
    s->clear();
    if (!w[0]) return true;
    int n = WideToMultiByte(codePage, w, nullptr, 0);
    if (n <= 0) return false;
    std::vector<char> buffer((size_t)n);
    if (WideToMultiByte(codePage, w, buffer.data(), n) != n) return false;
    s->assign(buffer.data());
    return true;
}

// One character (a surrogate pair counts as one) through 932 and back.
static bool CharSurvives(const WideChar* w, size_t units) {
    WideChar one[3] = {w[0], units > 1 ? w[1] : (WideChar)0, 0};
    std::string narrow;
    std::vector<WideChar> back;
    if (!WideToText(kCodePageSjis, one, &narrow) || !TextToWide(kCodePageSjis, narrow, &back))
        return false;
    return back.size() == units + 1 && back[0] == one[0] && (units < 2 || back[1] == one[1]);
}

bool Utf8ToSjis(const std::string& utf8, std::string* sjis, std::string* reason) {
    sjis->clear();
    if (utf8.empty()) return true;
    if (utf8.find('\0') != std::string::npos || ClassifyText(utf8.c_str()) == TEXT_MBCS) {
        *reason = "is not valid UTF-8";
        return false;
    }
    std::vector<WideChar> wide, back;
    if (!TextToWide(kCodePageUtf8, utf8, &wide)) {
        *reason = "is not valid UTF-8";
        return false;
    }
    if (WideToText(kCodePageSjis, wide.data(), sjis) && TextToWide(kCodePageSjis, *sjis, &back) &&
        back == wide)
        return true;
    sjis->clear();
    // Name the culprit so the maintainer knows what to replace.
    for (size_t i = 0; wide[i];) {
        size_t units = (wide[i] >= 0xD800 && wide[i] < 0xDC00 && wide[i + 1]) ? 2 : 1;
        if (!CharSurvives(&wide[i], units)) {
            uint32_t cp = units == 2 ? 0x10000 + (((uint32_t)wide[i] - 0xD800) << 10) +
                                           ((uint32_t)wide[i + 1] - 0xDC00)
                                     : (uint32_t)wide[i];
            char text[80];
            snprintf(text, sizeof(text), "holds U+%04X, which code page 932 cannot hold",
                     (unsigned)cp);
            *reason = text;
            return false;
        }
        i += units;
    }
    *reason = "cannot be converted to code page 932";
    return false;
}

std::string SjisToUtf8(const std::string& sjis) {
    std::vector<WideChar> wide;
    std::string utf8;
    if (TextToWide(kCodePageSjis, sjis, &wide) && WideToText(kCodePageUtf8, wide.data(), &utf8))
        return utf8;
    return EscapedBytes(sjis);
}

std::string EscapedBytes(const std::string& bytes) {
    std::string shown;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '"') {
            shown += (char)c;
        } else {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\x%02X", c);
            shown += esc;
        }
    }
    return shown;
}

std::string HexBytes(const unsigned char* bytes, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < count; i++) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 15];
    }
    return hex;
}

std::string GroupDigits(uint64_t value) {
    std::string digits = std::to_string(value);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}
