// What an MDT does when a changelog reader acknowledges its records
// ("lfs changelog_clear", llapi_changelog_clear): the kernel's reading of the
// request and the MDT's rules for moving the reader and purging records.
#pragma once
#include <cstdint>
#include <string>

#include "ChangelogStore.h"
#include "LustreVersion.h"
#include "ToolContext.h"

namespace sim {

// The request "clear:<id>:<endrec>" as the client's changelog device reads it
// (sscanf "clear:cl%u:%llu"): false when it does not match, which Lustre
// answers with EINVAL. Text after the end record is ignored, as by sscanf.
[[nodiscard]] bool ReadClearRequest(const std::string& request, uint32_t& id, uint64_t& endrec);

// The MDT's clear: 0 or a negative errno, as mdd_changelog_clear returns it.
//  - endrec beyond the current index: -EINVAL, before the user is looked up;
//  - endrec 0 means the current index;
//  - an unknown user: -ENOENT;
//  - endrec below the user's index: -EINVAL (up to 2.17; -ENOENT later);
//  - endrec equal to it: nothing changes;
//  - otherwise the user's index becomes endrec, its idle time restarts (now),
//    and the records no user still needs are purged.
int ClearChangelogUser(const LustreVersion& server, MdtChangelog& log, uint32_t id, uint64_t endrec, int64_t now);

// llapi_changelog_clear and the MDT behind it: 0 or a negative errno, with
// liblustreapi's message, each line starting with prefix, on stderr.
int ClearChangelogRecords(const ToolContext& ctx, const std::string& mdt, const std::string& idText, long long endrec,
                          const std::string& prefix);

}  // namespace sim
