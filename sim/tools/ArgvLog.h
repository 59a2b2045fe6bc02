// Records how a stand-in tool was called. When LUSTRE_SIM_ARGV_LOG names a
// file, each call appends one line: a JSON array of the tool's name and its
// arguments, e.g. ["lctl","--device","lustre-MDT0000","changelog_register"].
// In the strings '"' and '\' are escaped with '\', and every byte below 0x20,
// 0x7f and every byte from 0x80 is written as \u00XX with the byte's value, so
// a line is plain ASCII and gives back the exact argument bytes.
#pragma once
#include <string>

namespace sim {

std::string ArgvLogLine(const char* tool, int argc, char* const argv[]);

// Appends the line with one write (O_APPEND), so lines of concurrent calls do
// not interleave. A log that cannot be written is ignored: the tool's own
// output must stay what Lustre prints.
void LogArgv(const char* tool, int argc, char* const argv[]);

}  // namespace sim
