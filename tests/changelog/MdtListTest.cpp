// GetMDTList over the mds_conn_uuid listings a client prints.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChangelogTestSupport.h"
#include "LustreAPI.h"

using namespace changelog_test;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

class MdtList : public ::testing::Test {
protected:
    CKxError List(const std::string& fsName) { return LustreAPI::GetMDTList(fsName, names, servers); }

    FakeTools tools;
    RecordingLogWriter log;
    std::vector<std::string> names;
    std::vector<std::string> servers;
};

TEST_F(MdtList, RunsTheExactLocalLine) {
    tools.SetOutput("lctl", "mdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.1@tcp\n");
    ASSERT_FALSE(List("lustre").Failed());
    EXPECT_THAT(tools.Invocations(), ElementsAre("lctl [get_param] [mdc.lustre*.mds_conn_uuid]"));
    EXPECT_THAT(log.lines, IsEmpty());
}

TEST_F(MdtList, Listings) {
    struct Row {
        const char* what;
        const char* fsName;
        const char* text;
        std::vector<std::string> names;
        std::vector<std::string> servers;
    } rows[] = {
        {"two MDTs, one line each", "lustre",
         "mdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.1@tcp\n"
         "mdc.lustre-MDT0001-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.2@tcp\n",
         {"lustre-MDT0000", "lustre-MDT0001"},
         {"192.168.0.1", "192.168.0.2"}},
        {"a long value on the next line (lctl 2.7 to 2.15)", "scratch1",
         "mdc.scratch1-MDT0000-mdc-ffff9bc043537800.mds_conn_uuid=\n"
         "10.149.100.101@o2ib12345\n"
         "mdc.scratch1-MDT0001-mdc-ffff9bc043537800.mds_conn_uuid=10.149.100.102@o2ib\n",
         {"scratch1-MDT0000", "scratch1-MDT0001"},
         {"10.149.100.101", "10.149.100.102"}},
        {"a double mount lists each MDT once", "lustre",
         "mdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.1@tcp\n"
         "mdc.lustre-MDT0001-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.2@tcp\n"
         "mdc.lustre-MDT0000-mdc-ffff8800da9f0800.mds_conn_uuid=192.168.0.1@tcp\n"
         "mdc.lustre-MDT0001-mdc-ffff8800da9f0800.mds_conn_uuid=192.168.0.2@tcp\n",
         {"lustre-MDT0000", "lustre-MDT0001"},
         {"192.168.0.1", "192.168.0.2"}},
        {"a file system whose name begins with the same letters adds nothing", "lustre",
         "mdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.1@tcp\n"
         "mdc.lustre2-MDT0000-mdc-ffff8803f0d41001.mds_conn_uuid=192.168.0.9@tcp\n"
         "mdc.lustre-x-MDT0000-mdc-ffff8803f0d41002.mds_conn_uuid=192.168.0.8@tcp\n",
         {"lustre-MDT0000"},
         {"192.168.0.1"}},
        {"a file-system name with a dash", "my-fs",
         "mdc.my-fs-MDT0003-mdc-ffff8803f0d41000.mds_conn_uuid=10.0.0.3@tcp\n",
         {"my-fs-MDT0003"},
         {"10.0.0.3"}},
        {"values without '@' and without a connection", "lustre",
         "mdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=mds1\n"
         "mdc.lustre-MDT0001-mdc-ffff8803f0d41000.mds_conn_uuid=<none>\n",
         {"lustre-MDT0000", "lustre-MDT0001"},
         {"mds1", "<none>"}},
        {"lines lacking a piece are skipped", "lustre",
         "\n"
         "no equals sign here\n"
         "nodot=1.2.3.4@tcp\n"
         "mdc.lustre.mds_conn_uuid=1.2.3.4@tcp\n"
         "mdc.lustre-.mds_conn_uuid=1.2.3.4@tcp\n"
         "mdc.lustre-MDT0005.mds_conn_uuid=1.2.3.4@tcp\n"
         "mdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.1@tcp\n",
         {"lustre-MDT0000"},
         {"192.168.0.1"}},
        {"an empty value followed by another device", "lustre",
         "mdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=\n"
         "mdc.lustre-MDT0001-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.2@tcp\n",
         {"lustre-MDT0000", "lustre-MDT0001"},
         {"", "192.168.0.2"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tools.SetOutput("lctl", row.text);
        names.clear();
        EXPECT_FALSE(List(row.fsName).Failed());
        EXPECT_THAT(names, ElementsAreArray(row.names));
        EXPECT_THAT(servers, ElementsAreArray(row.servers));
    }
}

TEST_F(MdtList, ServersAreReplacedAndNamesAppended) {
    tools.SetOutput("lctl", "mdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.1@tcp\n");
    names = {"earlier-MDT0000"};
    servers = {"earlier"};
    ASSERT_FALSE(List("lustre").Failed());
    ASSERT_FALSE(List("lustre").Failed());
    EXPECT_THAT(names, ElementsAre("earlier-MDT0000", "lustre-MDT0000", "lustre-MDT0000"));
    EXPECT_THAT(servers, ElementsAre("192.168.0.1"));
}

TEST_F(MdtList, FailedCommandEmptiesServersAndLogs) {
    tools.SetOutput("lctl", "", "error: get_param: param_path 'mdc/nosuch*/mds_conn_uuid': No such file or directory\n",
                    2);
    names = {"kept"};
    servers = {"dropped"};
    const std::string failed = "Command lctl get_param mdc.nosuch*.mds_conn_uuid failed with Error error: get_param: "
                               "param_path 'mdc/nosuch*/mds_conn_uuid': No such file or directory\n";
    EXPECT_TRUE(IsError774(List("nosuch"), failed, kRunCommandFunction));
    EXPECT_THAT(log.events, ElementsAre("level?", "log:" + failed, "level?",
                                        "log:Cannot retrieve the list of MDTs for the Filesystem nosuch"));
    EXPECT_EQ(log.lines.at(1).function, kGetMDTListFunction);
    EXPECT_THAT(names, ElementsAre("kept"));
    EXPECT_THAT(servers, IsEmpty());
}

}  // namespace
