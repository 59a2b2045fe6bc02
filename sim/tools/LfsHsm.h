// The stand-in lfs's HSM and FID commands: hsm_state, hsm_action,
// hsm_archive, hsm_release, hsm_restore, path2fid and fid2path. They call
// the stand-in library's own code, as lfs calls liblustreapi, so they see
// and change the same state as a host bound to the stand-in.
#pragma once
#include <string>
#include <vector>

#include "ToolContext.h"

namespace sim {

// True when command is one of the commands above.
bool IsLfsHsmCommand(const std::string& command);

// Runs it with the arguments after the command name, printing what the
// imitated lfs prints; returns the exit status.
int RunLfsHsmCommand(const ToolContext& ctx, const std::string& command, const std::vector<std::string>& args);

}  // namespace sim
