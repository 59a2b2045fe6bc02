#include "Getopt.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>

namespace sim {

bool Getopt(const std::string& program, const std::vector<std::string>& args, const std::string& shortOptions,
            const std::vector<LongOption>* longOptions, ParsedOptions& parsed, std::string& badArg,
            std::string& message)
{
    parsed = ParsedOptions();
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<option> table;
    if (longOptions)
        for (const LongOption& o : *longOptions)
            table.push_back({o.name, o.hasValue ? required_argument : no_argument, nullptr, o.letter});
    table.push_back({nullptr, 0, nullptr, 0});

    // glibc's own message is caught rather than printed: the caller decides
    // whether the tool shows it.
    char* caught = nullptr;
    size_t caughtSize = 0;
    FILE* const saved = stderr;
    FILE* const sink = open_memstream(&caught, &caughtSize);
    if (sink) stderr = sink;
    optind = 0;  // a fresh scan, as a new process starts one
    opterr = 1;
    const int argc = static_cast<int>(words.size());
    bool ok = true;
    for (int c; (c = getopt_long(argc, argv.data(), shortOptions.c_str(), longOptions ? table.data() : nullptr,
                                 nullptr)) != -1;) {
        if (c == '?' || c == ':') {
            badArg = argv[optind - 1];
            ok = false;
            break;
        } else {
            parsed.options.emplace_back(static_cast<char>(c), optarg ? optarg : "");
        }
    }
    if (ok)
        for (int i = optind; i < argc; ++i) parsed.operands.emplace_back(argv[static_cast<size_t>(i)]);
    stderr = saved;
    if (sink) fclose(sink);
    message.assign(caught ? caught : "", caughtSize);
    free(caught);
    while (!message.empty() && message.back() == '\n') message.pop_back();
    return ok;
}

}  // namespace sim
