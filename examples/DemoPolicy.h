// A policy engine in miniature, as a host writes one on LustreAPI: it lists
// the entry points it runs with, archives a few hundred files in one call,
// and follows their HSM states through release and restore while a small
// copytool serves the requests.
#pragma once
#include <string>

#include "DemoReport.h"

namespace demo {

// Files are made below mount in lustreapi-demo-policy/; archive copies go
// to archiveDir, named by FID. Returns false after reporting a failed step.
bool RunPolicyEngine(Report& report, const std::string& mount, const std::string& archiveDir);

}  // namespace demo
