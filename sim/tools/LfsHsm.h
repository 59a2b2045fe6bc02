// The stand-in lfs's HSM and FID commands: hsm_state, hsm_action,
// hsm_archive, hsm_release, hsm_restore, hsm_remove, hsm_cancel, hsm_set,
// hsm_clear, path2fid and fid2path. They read their options with
// getopt_long and call the stand-in's liblustreapi.so as Lustre's lfs calls
// Lustre's, so they see and change what a host bound to the stand-in does.
#pragma once
#include <string>
#include <vector>

#include "ToolContext.h"

namespace sim {

// The help lfs prints for command in version, without its final line
// break; null for a command that is not one of the above.
const char* LfsHelpText(const LustreVersion& version, const std::string& command);

// True when command is one of the commands above.
bool IsLfsHsmCommand(const std::string& command);

// Runs it with the arguments after the command name, printing what the
// imitated lfs prints; returns the exit status.
int RunLfsHsmCommand(const ToolContext& ctx, const std::string& command, const std::vector<std::string>& args);

}  // namespace sim
