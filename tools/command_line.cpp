// Option parsing for the maintainer tool.
#include "command_line.h"

#include <string.h>

static const OptionSpec* FindSpec(const OptionSpec* specs, size_t count, const std::string& name) {
    for (size_t i = 0; i < count; i++)
        if (name == specs[i].name) return &specs[i];
    return nullptr;
}

bool ParseCommand(const std::vector<std::string>& args, size_t first, const OptionSpec* specs,
                  size_t specCount, ParsedCommand* parsed, std::string* error) {
    *parsed = ParsedCommand();
    bool optionsEnded = false;
    for (size_t i = first; i < args.size(); i++) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            parsed->operands.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            parsed->help = true;
            continue;
        }
        size_t equals = a.find('=');
        std::string name = a.substr(0, equals);
        const OptionSpec* spec = FindSpec(specs, specCount, name);
        if (!spec) {
            *error = "unknown option " + name;
            return false;
        }
        std::string value;
        if (equals != std::string::npos) {
            if (!spec->takesValue) {
                *error = name + " takes no value";
                return false;
            }
            value = a.substr(equals + 1);
        } else if (spec->takesValue) {
            if (i + 1 >= args.size() || args[i + 1].compare(0, 2, "--") == 0) {
                *error =
                    name + " needs a value (write " + name + "=VALUE for one that starts with --)";
                return false;
            }
            value = args[++i];
        }
        if (!spec->repeatable && HasOption(*parsed, spec->name)) {
            *error = name + " is given twice";
            return false;
        }
        parsed->names.push_back(spec->name);
        parsed->values.push_back(value);
    }
    return true;
}

bool HasOption(const ParsedCommand& parsed, const char* name) {
    for (const std::string& n : parsed.names)
        if (n == name) return true;
    return false;
}

const std::string* OptionValue(const ParsedCommand& parsed, const char* name) {
    for (size_t i = parsed.names.size(); i-- > 0;)
        if (parsed.names[i] == name) return &parsed.values[i];
    return nullptr;
}

std::vector<std::string> OptionValues(const ParsedCommand& parsed, const char* name) {
    std::vector<std::string> values;
    for (size_t i = 0; i < parsed.names.size(); i++)
        if (parsed.names[i] == name) values.push_back(parsed.values[i]);
    return values;
}
