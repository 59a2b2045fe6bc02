// The texts Lustre makes from a changelog's users and types: the
// changelog_users listing of an MDT in each version's format, and masks.
#pragma once
#include <cstdint>
#include <string>

#include "ChangelogStore.h"
#include "ChangelogTypes.h"
#include "LustreVersion.h"

namespace sim {

using common::ChangelogTypeName;
using common::kChangelogTypeCount;

// A type given by name (any case) or by number. -1 when unknown.
int ChangelogTypeFromText(const std::string& text);

// All types but ATIME, OPEN, GXATR and NOPEN.
uint32_t DefaultChangelogMask();
// "MARK,CREAT,..." in type order.
std::string FormatChangelogMask(uint32_t mask);

// The changelog_users parameter's content, its final line break included.
std::string FormatChangelogUsers(const LustreVersion& server, const MdtChangelog& log, int64_t now);

}  // namespace sim
