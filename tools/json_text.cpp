// JSON string literals for the tool's machine-readable output.
#include "json_text.h"

#include <stdio.h>

std::string JsonString(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", c);
            out += escape;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

std::string JsonStrings(const std::vector<std::string>& utf8) {
    std::string out = "[";
    for (size_t i = 0; i < utf8.size(); i++)
        out += (i ? ", " : "") + JsonString(utf8[i]);
    return out + "]";
}
