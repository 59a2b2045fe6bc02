// The library's messages on stderr, in liblustreapi's form: the program's
// short name, ": ", then the text.
#pragma once

namespace sim::lib {

// Prints one message, written with a single call so that lines of
// concurrent threads do not interleave. format carries its own line break.
void PrintMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim::lib
