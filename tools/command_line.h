// The maintainer tool's command line: options of the form --name, --name
// value and --name=value, checked against each command's table.
#pragma once
#include <stddef.h>
#include <string>
#include <vector>

struct OptionSpec {
    const char* name; // with its dashes: "--stub"
    bool takesValue;
    bool repeatable;
};

struct ParsedCommand {
    std::vector<std::string> names;  // options in the order given
    std::vector<std::string> values; // beside names; empty for flags
    std::vector<std::string> operands;
    bool help = false; // --help or -h was given
};

// Parses args[first..] against specs. False with a one-line reason naming the
// option: unknown, missing its value, given twice, or given a value it does
// not take. A separate value may not start with "--" (that is the next option
// forgotten); "--name=--x" passes one that does. "--" ends the options.
bool ParseCommand(const std::vector<std::string>& args, size_t first, const OptionSpec* specs,
                  size_t specCount, ParsedCommand* parsed, std::string* error);

bool HasOption(const ParsedCommand& parsed, const char* name);
// The value of the last --name, or null.
const std::string* OptionValue(const ParsedCommand& parsed, const char* name);
std::vector<std::string> OptionValues(const ParsedCommand& parsed, const char* name);
