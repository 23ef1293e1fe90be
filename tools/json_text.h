// The little JSON the tool prints for --json: quoted strings and hex digests.
#pragma once
#include <stddef.h>
#include <string>
#include <vector>

// A JSON string literal of UTF-8 text: quotes, backslashes and control
// characters escaped.
std::string JsonString(const std::string& utf8);
// A JSON array of string literals.
std::string JsonStrings(const std::vector<std::string>& utf8);
