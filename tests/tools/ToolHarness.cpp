#include "ToolHarness.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace simtest {

SimState::SimState(const std::string& version)
{
    const Outcome init = Sh("lustre-sim init \"$LUSTRE_SIM_STATE\" --version " + version);
    EXPECT_EQ(init.status, 0) << init.err;
}

Outcome SimState::Sh(const std::string& command, const std::map<std::string, std::string>& env) const
{
    const char* path = std::getenv("PATH");
    std::map<std::string, std::string> vars = {
        {"PATH", std::string(LUSTRESIM_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin")},
        {"LUSTRE_SIM_STATE", m_dir / "state"},
        {"LUSTRE_SIM_HOST", ""},
        {"LUSTRE_SIM_ARGV_LOG", ""},
    };
    for (const auto& [name, value] : env) vars[name] = value;
    // Run in the temporary directory, so that relative paths land there.
    return testsupport::Shell(command, vars, m_dir.path());
}

}  // namespace simtest
