// The texts Lustre makes from a changelog: the changelog_users listing of an
// MDT and the record lines of "lfs changelog", in each version's format.
#pragma once
#include <cstdint>
#include <string>

#include "ChangelogStore.h"
#include "LustreVersion.h"

namespace sim {

constexpr int kChangelogTypeCount = 25;

// "MARK", "CREAT", ... by record type number; null outside the table.
const char* ChangelogTypeName(int type);
// A type given by name (any case) or by number. -1 when unknown.
int ChangelogTypeFromText(const std::string& text);

// All types but ATIME, OPEN, GXATR and NOPEN.
uint32_t DefaultChangelogMask();
// "MARK,CREAT,..." in type order.
std::string FormatChangelogMask(uint32_t mask);

// The changelog_users parameter's content, its final line break included.
std::string FormatChangelogUsers(const LustreVersion& server, const MdtChangelog& log, int64_t now);

// One "lfs changelog" line, its line break included.
std::string FormatChangelogRecord(const LustreVersion& client, const ChangelogRecord& record);

}  // namespace sim
