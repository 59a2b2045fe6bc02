// The help texts lctl prints with a usage error, per version.
#pragma once
#include <string>

#include "LustreVersion.h"

namespace sim {

// The help of command ("changelog_register", "changelog_deregister",
// "get_param"); a general usage line for anything else.
std::string LctlHelp(const LustreVersion& version, const std::string& command);

}  // namespace sim
