// Job 5 of the demo host: a changelog follower.
#pragma once
#include <string>

#include "DemoReport.h"

namespace demo {

// Registers a changelog reader on the file system's first MDT and follows
// the changelog live with a CChangelogReader (in-process when Lustre's
// changelog calls are bound) while files in dir change: each change's record
// is waited for, shown and acknowledged as it comes. Deregisters at the end.
// False when a step failed (the report says which).
bool RunFollower(Report& report, const std::string& fsName, const std::string& sshUser, const std::string& dir);

}  // namespace demo
