#include "Interactive.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>

namespace sim {

int RunInteractive(const char* tool, const std::function<int(const std::vector<std::string>&)>& run)
{
    const bool terminal = isatty(STDIN_FILENO) != 0;
    int status = 0;
    for (;;) {
        if (terminal) {
            printf("%s > ", tool);
            fflush(stdout);
        }
        std::string line;
        if (!std::getline(std::cin, line)) break;
        std::istringstream words(line);
        std::vector<std::string> args;
        for (std::string w; words >> w;) args.push_back(w);
        if (args.empty()) continue;
        if (args[0] == "quit" || args[0] == "exit") break;
        status = run(args);
        fflush(stdout);
        fflush(stderr);
    }
    return status;
}

}  // namespace sim
