// The tools' options through glibc's getopt_long, over a list of words
// rather than argv: what Lustre's lctl and lfs read, and glibc's message for
// what they refuse.
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
// getopt. On a bad option returns false with badArg set to argv[optind - 1]
// (where Lustre's tools look for it) and message to glibc's line ("<program>: invalid option --
// 'x'", without the line break).
[[nodiscard]] bool Getopt(const std::string& program, const std::vector<std::string>& args,
                          const std::string& shortOptions, const std::vector<LongOption>* longOptions,
                          ParsedOptions& parsed, std::string& badArg, std::string& message);

}  // namespace sim
