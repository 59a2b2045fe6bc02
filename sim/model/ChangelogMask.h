// Changelog user masks as the MDT reads them from
// "lctl --device MDT changelog_register -m MASK", per Lustre version.
#pragma once
#include <cstdint>
#include <string>

#include "LustreVersion.h"

namespace sim {

// MARK: every absolute mask starts from it.
constexpr uint32_t kMinChangelogMask = 1;
// Every record type.
uint32_t AllChangelogMask();

// Names (any case) separated by blanks and/or ','; '+' and '-' also end a
// name and set the operator of the next. A mask whose first name has no
// operator is absolute (from MARK), otherwise it changes the default mask.
// ALL is every type ("-ALL": MARK only); DEFAULT and NONE as the server
// version knows them. False (the MDT's -EINVAL) for an unknown name or an
// operator with no name after it; mask is then unchanged.
[[nodiscard]] bool ParseChangelogMask(const LustreVersion& server, const std::string& text, uint32_t& mask);

}  // namespace sim
