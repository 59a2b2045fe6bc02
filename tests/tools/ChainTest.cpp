// The whole chain by hand through /bin/sh, as a host drives it: register over
// ssh, records appear, read the listing, dump a range, deregister.
#include <gtest/gtest.h>

#include "ToolHarness.h"

namespace {

using simtest::Outcome;
using simtest::SimState;

TEST(ToolChain, RegisterReadDumpDeregisterForEachVersion)
{
    const std::string script =
        "set -e\n"
        "lctl get_param mdc.lustre*.mds_conn_uuid\n"
        "ssh root@mds1 'lctl --device lustre-MDT0000 changelog_register'\n"
        "lustre-sim changelog-append lustre-MDT0000 CREAT --name a --time 1700000000.5 >/dev/null\n"
        "lustre-sim changelog-append lustre-MDT0000 UNLNK --name a --flags 0x1 --time 1700000001 >/dev/null\n"
        "lustre-sim set-time 1000030\n"
        "ssh root@mds1 'lctl get_param mdd.lustre-MDT0000.changelog_users'\n"
        "lfs changelog lustre-MDT0000 2 2 > dump\n"
        "cat dump\n"
        "ssh root@mds1 'lctl --device lustre-MDT0000 changelog_deregister cl1'\n";
    const std::string mdc =
        "mdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.1@tcp\n"
        "mdc.lustre-MDT0001-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.2@tcp\n"
        "mdc.lustre2-MDT0000-mdc-ffff8803f0d41800.mds_conn_uuid=<none>\n"
        "lustre-MDT0000: Registered changelog userid 'cl1'\n";
    const std::string new215 =
        mdc +
        "mdd.lustre-MDT0000.changelog_users=\ncurrent_index: 2\n"
        "ID                            index (idle) mask\n"
        "cl1                               0 (30)\n"
        "2 06UNLNK 22:13:21.000000000 2023.11.14 0x1 t=[0x200000400:0x2:0x0] ef=0xf u=0:0 nid=0@lo "
        "p=[0x200000007:0x1:0x0] a\n"
        "lustre-MDT0000: Deregistered changelog user #1\n";
    const struct {
        std::string version;
        std::string out;
    } rows[] = {
        {"2.10", mdc +
                     "mdd.lustre-MDT0000.changelog_users=current index: 2\nID    index\ncl1   0\n"
                     "2 06UNLNK 22:13:21.000000000 2023.11.14 0x1 t=[0x200000400:0x2:0x0] p=[0x200000007:0x1:0x0] a\n"
                     "lustre-MDT0000: Deregistered changelog user 'cl1'\n"},
        {"2.12", mdc +
                     "mdd.lustre-MDT0000.changelog_users=\ncurrent index: 2\nID    index (idle seconds)\n"
                     "cl1   0 (30)\n"
                     "2 06UNLNK 22:13:21.000000000 2023.11.14 0x1 t=[0x200000400:0x2:0x0] ef=0xf u=0:0 nid=0@lo "
                     "p=[0x200000007:0x1:0x0] a\n"
                     "lustre-MDT0000: Deregistered changelog user 'cl1'\n"},
        {"2.15", new215},
        {"2.16", new215},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.version);
        SimState sim(row.version);
        simtest::SetUpCluster(sim);
        Outcome o = sim.Sh("cd \"$LUSTRE_SIM_STATE\" && /bin/sh -c '" + std::string("eval \"$0\"") + "' \"" +
                           "$(cat <<'EOS'\n" + script + "EOS\n)\"");
        EXPECT_EQ(o.out, row.out);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.status, 0);
        // The last user's departure took the records with it.
        EXPECT_EQ(sim.Sh("lfs changelog lustre-MDT0000").out, "");
    }
}

}  // namespace
