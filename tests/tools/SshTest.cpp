// ssh: logins, refusals, the remote command and its environment, and the
// argument log every tool writes.
#include <gtest/gtest.h>


#include "ToolHarness.h"

namespace {

using simtest::Outcome;
using simtest::SimState;

TEST(Ssh, LoginsRefusalsAndRemoteCommands)
{
    SimState sim("2.15");
    simtest::SetUpCluster(sim);
    sim.Sim("allow-login alice mds1");
    struct Row {
        std::string command;
        std::string out;
        std::string err;
        int status;
    };
    const std::string bin = LUSTRESIM_BIN_DIR;
    const Row rows[] = {
        {"ssh root@mds1 'echo \"$LUSTRE_SIM_HOST\"'", "mds1\n", "", 0},
        // The remote command is the arguments joined with single blanks.
        {"ssh root@mds2 echo \"'a  b'\" c", "a  b c\n", "", 0},
        {"ssh root@mds1 'exit 7'", "", "", 7},
        {"ssh root@mds1 'echo oops >&2; exit 3'", "", "oops\n", 3},
        {"ssh root@mds1 'kill -9 $$'", "", "", 255},
        // The stand-in tools come first on the remote PATH.
        {"PATH=/usr/bin:/bin " + bin + "/ssh root@mds1 'command -v lctl'", bin + "/lctl\n", "", 0},
        {"ssh bob@mds1 true", "", "bob@mds1: Permission denied (publickey).\n", 255},
        {"ssh root@nosuch true", "", "ssh: Could not resolve hostname nosuch: Name or service not known\n", 255},
        // Harmless options before and after the destination, and -l.
        {"ssh -o BatchMode=yes -oStrictHostKeyChecking=no -q -T root@mds1 -n echo ok", "ok\n", "", 0},
        {"ssh -l alice mds1 echo ok", "ok\n", "", 0},
        {"ssh -l bob mds1 echo ok", "", "bob@mds1: Permission denied (publickey).\n", 255},
        {"ssh -o User=alice mds1 echo ok", "ok\n", "", 0},
        // Nothing from an option is ever run.
        {"ssh -oProxyCommand='touch proxy-ran' root@mds1 true; ls proxy-ran 2>/dev/null", "",
         "ssh (stand-in): option not supported: -oProxyCommand=touch proxy-ran\n", 2},
        {"ssh -o 'LocalCommand touch local-ran' root@mds1 true", "",
         "ssh (stand-in): option not supported: -oLocalCommand touch local-ran\n", 255},
        {"ssh -F /dev/null root@mds1 true", "", "ssh (stand-in): option not supported: -F\n", 255},
        {"ssh -p", "", "option requires an argument -- p\n", 255},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        Outcome o = sim.Sh("cd \"$LUSTRE_SIM_STATE\" && " + row.command);
        EXPECT_EQ(o.out, row.out);
        EXPECT_EQ(o.err, row.err);
        EXPECT_EQ(o.status, row.status);
    }
}

TEST(Ssh, UserDefaultsToTheCurrentLogin)
{
    SimState sim("2.15");
    simtest::SetUpCluster(sim);
    const std::string me = sim.Sh("id -un").out;
    ASSERT_FALSE(me.empty());
    const std::string user = me.substr(0, me.size() - 1);
    sim.Sim("allow-login nobody-else mds3");
    EXPECT_EQ(sim.Sh("ssh mds3 true").err, user + "@mds3: Permission denied (publickey).\n");
    sim.Sim("allow-login " + user + " mds3");
    Outcome o = sim.Sh("ssh mds3 echo in");
    EXPECT_EQ(o.out, "in\n");
    EXPECT_EQ(o.status, 0);
}

TEST(ArgvLog, EveryToolLogsItsArgumentsUnambiguously)
{
    SimState sim("2.15");
    simtest::SetUpCluster(sim);
    const std::string log = sim.Dir() + "/argv.log";
    Outcome o = sim.Sh(
        "ssh root@mds1 'lctl --device lustre-MDT0000 changelog_register' >/dev/null; "
        "lfs changelog lustre-MDT0000 '' 'a \"q\" \\b' >/dev/null; "
        "lctl get_param \"$(printf 'x\\ty\\001\\303\\251')\" 2>/dev/null",
        {{"LUSTRE_SIM_ARGV_LOG", log}});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(simtest::ReadFile(log),
              "[\"ssh\",\"root@mds1\",\"lctl --device lustre-MDT0000 changelog_register\"]\n"
              "[\"lctl\",\"--device\",\"lustre-MDT0000\",\"changelog_register\"]\n"
              "[\"lfs\",\"changelog\",\"lustre-MDT0000\",\"\",\"a \\\"q\\\" \\\\b\"]\n"
              "[\"lctl\",\"get_param\",\"x\\u0009y\\u0001\\u00c3\\u00a9\"]\n");
}

}  // namespace
