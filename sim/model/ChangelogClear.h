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

// The MDT's clear (sim::ClearReader) as the server's version answers it:
// a backward clear is -EINVAL up to 2.17, -ENOENT later.
int ClearChangelogUser(const LustreVersion& server, MdtChangelog& log, uint32_t id, uint64_t endrec, int64_t now);

// llapi_changelog_clear and the MDT behind it: 0 or a negative errno, with
// liblustreapi's message, each line starting with prefix, on stderr.
int ClearChangelogRecords(const ToolContext& ctx, const std::string& mdt, const std::string& idText, long long endrec,
                          const std::string& prefix);

}  // namespace sim
