// Option reading as glibc's getopt and getopt_long do it for lctl and lfs,
// with glibc's messages: arguments are permuted (options may follow
// operands), "--" ends the options, short options may be clustered ("-nN")
// and take their value from the rest of the argument or the next one, and
// long options may be abbreviated to any unique prefix.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct LongOption {
    const char* name;
    char letter;
    bool hasValue;
};

struct ParsedOptions {
    std::vector<std::pair<char, std::string>> options;  // in command-line order
    std::vector<std::string> operands;
};

// shortOptions is getopt's string ("nNc:"); longOptions null for plain
// getopt. On a bad option returns false with badArg set to the argument
// that held it and message to glibc's line ("<program>: invalid option --
// 'x'", without the line break).
[[nodiscard]] bool Getopt(const std::string& program, const std::vector<std::string>& args,
                          const std::string& shortOptions, const std::vector<LongOption>* longOptions,
                          ParsedOptions& parsed, std::string& badArg, std::string& message);

}  // namespace sim
