// How "lctl get_param" prints one parameter: "name=" followed by the value on
// the same line, or by a line break and the value, by the lctl version's rule.
#pragma once
#include <string>

#include "LustreVersion.h"

namespace sim {

// True when lctl of this version starts the value on the line after
// "name=". value is the parameter file's content, its final '\n' included.
//   2.0 - 2.6   value longer than 60 bytes, or the strnchr quirk below
//   2.7 - 2.14  name + value of 80 bytes or more, or the strnchr quirk
//   2.15        a '\n' before the last byte, or name + value >= 80 bytes
//   2.16+       a '\n' before the last byte
// The quirk: lctl up to 2.14 called its own strnchr(p, c, n) with the last two
// arguments swapped, so it looked for the byte (size - 1) & 0xff in the first
// 10 bytes of the value instead of looking for a line break.
bool ValueOnNextLine(const LustreVersion& lctl, const std::string& name, const std::string& value);

// The bytes lctl prints for one parameter; nameless when valueOnly (-n).
std::string FrameParam(const LustreVersion& lctl, const std::string& name, const std::string& value, bool valueOnly);

}  // namespace sim
