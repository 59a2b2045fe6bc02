// Every tool that reads or changes the state refuses to go on without the
// state lock, and says why.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "ToolHarness.h"

namespace {

using simtest::Outcome;
using simtest::SimState;

TEST(StateLock, ToolsWithoutTheLockChangeNothing)
{
    SimState sim("2.15");
    simtest::SetUpCluster(sim);
    const std::string state = sim.Dir() + "/state";
    const std::string config = simtest::ReadFile(state + "/config");
    // A directory where the lock file belongs cannot be opened for writing.
    ASSERT_TRUE(::unlink((state + "/lock").c_str()) == 0 || errno == ENOENT);
    ASSERT_EQ(::mkdir((state + "/lock").c_str(), 0755), 0);
    const std::string why = "cannot lock " + state + "/lock: Is a directory\n";
    const struct {
        std::string command;
        std::string err;
        int status;
    } rows[] = {
        {"lctl --device lustre-MDT0000 changelog_register", "lctl (stand-in): " + why, 1},
        {"lctl --device lustre-MDT0000 changelog_deregister cl1", "lctl (stand-in): " + why, 1},
        {"lctl get_param mdd.lustre-MDT0000.changelog_users", "lctl (stand-in): " + why, 1},
        {"lfs changelog lustre-MDT0000", "lfs changelog: cannot access changelog: " + why, EIO},
        {"lustre-sim version 2.12", "lustre-sim: " + why, 1},
        {"lustre-sim changelog-append lustre-MDT0000 CREAT", "lustre-sim: " + why, 1},
    };
    for (const auto& row : rows) {
        const Outcome o = sim.Sh(row.command);
        EXPECT_EQ(o.out, "") << row.command;
        EXPECT_EQ(o.err, row.err) << row.command;
        EXPECT_EQ(o.status, row.status) << row.command;
    }
    EXPECT_EQ(simtest::ReadFile(state + "/config"), config);
}

}  // namespace
