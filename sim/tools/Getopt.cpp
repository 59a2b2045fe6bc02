#include "Getopt.h"

namespace sim {
namespace {

// "--name[=value]": the option it names, or null with message set.
const LongOption* FindLong(const std::string& program, const std::string& arg,
                           const std::vector<LongOption>& longOptions, std::string& message)
{
    const std::string name = arg.substr(2, arg.find('=') - 2);
    std::vector<const LongOption*> matches;
    for (const auto& o : longOptions) {
        if (name == o.name) return &o;
        if (std::string(o.name).compare(0, name.size(), name) == 0) matches.push_back(&o);
    }
    if (matches.size() == 1) return matches[0];
    if (matches.empty()) {
        message = program + ": unrecognized option '--" + name + "'";
    } else {
        message = program + ": option '--" + name + "' is ambiguous; possibilities:";
        for (const LongOption* o : matches) message += std::string(" '--") + o->name + "'";
    }
    return nullptr;
}

}  // namespace

bool Getopt(const std::string& program, const std::vector<std::string>& args, const std::string& shortOptions,
            const std::vector<LongOption>* longOptions, ParsedOptions& parsed, std::string& badArg,
            std::string& message)
{
    parsed = ParsedOptions();
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        badArg = arg;
        if (arg == "--") {
            parsed.operands.insert(parsed.operands.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            return true;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            parsed.operands.push_back(arg);
            continue;
        }
        if (longOptions && arg[1] == '-') {
            const LongOption* o = FindLong(program, arg, *longOptions, message);
            if (!o) return false;
            const size_t eq = arg.find('=');
            std::string value;
            if (eq != std::string::npos) {
                if (!o->hasValue) {
                    message = program + ": option '--" + o->name + "' doesn't allow an argument";
                    return false;
                }
                value = arg.substr(eq + 1);
            } else if (o->hasValue) {
                if (i + 1 == args.size()) {
                    message = program + ": option '--" + o->name + "' requires an argument";
                    return false;
                }
                value = args[++i];
            }
            parsed.options.emplace_back(o->letter, value);
            continue;
        }
        for (size_t c = 1; c < arg.size(); ++c) {
            const char letter = arg[c];
            const size_t at = letter == ':' ? std::string::npos : shortOptions.find(letter);
            if (at == std::string::npos) {
                message = program + ": invalid option -- '" + std::string(1, letter) + "'";
                return false;
            }
            if (at + 1 < shortOptions.size() && shortOptions[at + 1] == ':') {
                std::string value = arg.substr(c + 1);
                if (value.empty()) {
                    if (i + 1 == args.size()) {
                        message = program + ": option requires an argument -- '" + std::string(1, letter) + "'";
                        return false;
                    }
                    value = args[++i];
                }
                parsed.options.emplace_back(letter, value);
                break;
            }
            parsed.options.emplace_back(letter, "");
        }
    }
    return true;
}

}  // namespace sim
