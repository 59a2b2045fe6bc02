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

std::string SimState::Sim(const std::string& args) const
{
    const Outcome o = Sh("lustre-sim " + args);
    EXPECT_EQ(o.status, 0) << "lustre-sim " << args << ": " << o.err;
    return o.out;
}

void SetUpCluster(const SimState& sim)
{
    for (const char* step : {"add-fs lustre --mdts 2", "add-fs lustre2", "mount lustre /mnt/lustre",
                             "mount lustre2 /mnt/lustre2", "add-mds lustre 0 mds1 192.168.0.1@tcp",
                             "add-mds lustre 1 mds2 192.168.0.2@tcp", "allow-login root mds1", "allow-login root mds2"})
        sim.Sim(step);
    sim.Sim("set-time " + std::to_string(kStartTime));
}

}  // namespace simtest
