// lctl's and lfs's interactive mode: without a command they read commands
// from standard input, one a line, and run each. With standard input at its
// end they print nothing and exit 0.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace sim {

// Reads lines from stdin until its end, prompting "<tool> > " when stdin
// is a terminal, splits each on blanks and runs the non-empty ones; "quit"
// and "exit" end the loop. Returns the status of the last command run (0
// when none ran).
int RunInteractive(const char* tool, const std::function<int(const std::vector<std::string>&)>& run);

}  // namespace sim
