// The changelog operations against scripted runner replies: the command line
// each one builds, how it reads the replies of every Lustre version, and its
// errors and log lines. The real shell and tools run in StandInChainTest.
#include <cstring>
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FakeZqProcess.h"
#include "LustreAPI.h"
#include "ChangelogTestSupport.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Outputs = std::vector<std::string>;
using namespace changelog_test;

namespace {

const char kRegister[] =
    "CKxError LustreAPI::RegisterChangelog(const string&, const string&, const string&, const string&, "
    "std::string&)";
const char kMdt[] = "lustre-MDT0000";
const char kListing[] = "ssh root@mds1 'lctl get_param mdd.lustre-MDT0000.changelog_users'";
const char kParseError[] = "Cannot parse the output of this command lctl get_param mdd.MDT-name.changelog_users";

void Reply(const std::string& out, const std::string& err = "", int status = 0) {
    zq_fake_set_reply(status, out.data(), out.size(), err.data(), err.size());
}

CKxError Register(std::string& user) { return LustreAPI::RegisterChangelog("mds1", kMdt, "lustre", "root", user); }
CKxError Deregister(std::string& user) {
    return LustreAPI::DeRegisterChangelog("mds1", kMdt, "lustre", "root", user);
}
CKxError StartAndEndOf(const std::string& host, const std::string& mdt, Outputs& out) {
    return LustreAPI::GetStartAndEndChangelogRecordNumbers(host, mdt, "lustre", "root", "cl1", out[0], out[1]);
}
CKxError StartAndEnd(const std::string& reader, Outputs& out) {
    return LustreAPI::GetStartAndEndChangelogRecordNumbers("mds1", kMdt, "lustre", "root", reader, out[0], out[1]);
}

TEST(Commands, RunCommandSplitsLinesAndFailsWithoutOutput) {
    RecordingLogWriter log;
    std::list<std::string> lines{"kept"};
    Reply("one\ntwo\n");
    ASSERT_FALSE(LustreAPI::RunCommand("cmd", lines).Failed());
    EXPECT_THAT(lines, ElementsAre("kept", "one", "two", ""));
    EXPECT_STREQ(zq_fake_last_command(), "cmd");
    EXPECT_THAT(log.lines, IsEmpty());
    for (int status : {0, 3}) {
        lines = {"untouched"};
        Reply(status ? "out\n" : "", "err\n", status);
        EXPECT_TRUE(IsError774(LustreAPI::RunCommand("cmd", lines), "Command cmd failed with Error err\n", kRunCommandFunction));
        EXPECT_THAT(lines, ElementsAre("untouched"));
    }
    EXPECT_THAT(log.Texts(), ElementsAre("Command cmd failed with Error err\n", "Command cmd failed with Error err\n"));
}

TEST(Commands, GetChangelogsRunsLfsIntoTheFileAndFailsOnAnyOutput) {
    RecordingLogWriter log;
    Reply("");
    EXPECT_FALSE(LustreAPI::GetChangelogs(kMdt, "ignored; x", "5", "9", "/tmp/out").Failed());
    EXPECT_STREQ(zq_fake_last_command(), "lfs changelog lustre-MDT0000 5 9 > /tmp/out");
    EXPECT_FALSE(LustreAPI::GetChangelogs(kMdt, "", "", "", "/tmp/out").Failed());
    EXPECT_STREQ(zq_fake_last_command(), "lfs changelog lustre-MDT0000   > /tmp/out");
    EXPECT_FALSE(LustreAPI::GetChangelogs(kMdt, "", "5", "", "/tmp/out").Failed());
    EXPECT_THAT(log.lines, IsEmpty());

    Reply("Can't start changelog\n");
    EXPECT_TRUE(IsError774(LustreAPI::GetChangelogs(kMdt, "", "1", "2", "/tmp/out"),
                      "Cannot obtain changelogs due to Can't start changelog\n"));
    Reply("", "lfs changelog: No such file or directory\n", 2);
    const std::string failed =
        "Command lfs changelog lustre-MDT0000 1 2 > /tmp/out failed with Error lfs changelog: No such file or directory\n";
    EXPECT_TRUE(IsError774(LustreAPI::GetChangelogs(kMdt, "", "1", "2", "/tmp/out"), failed));
    EXPECT_THAT(log.Texts(), ElementsAre(failed));
    // lfs would read the end as the start.
    const unsigned long calls = zq_fake_call_count();
    EXPECT_TRUE(IsError774(LustreAPI::GetChangelogs(kMdt, "", "", "9", "/tmp/out"),
                      "The start record \"\" is refused: it is empty"));
    EXPECT_EQ(zq_fake_call_count(), calls);
}

TEST(Commands, GetMDTListReadsEachMdtOnce) {
    const struct Row {
        const char* what;
        const char* fsName;
        const char* text;
        Outputs names;
        Outputs servers;
    } rows[] = {
        {"a long value on the next line (lctl 2.7 to 2.15)", "scratch1",
         "mdc.scratch1-MDT0000-mdc-ffff9bc043537800.mds_conn_uuid=\n10.149.100.101@o2ib12345\n"
         "mdc.scratch1-MDT0001-mdc-ffff9bc043537800.mds_conn_uuid=10.149.100.102@o2ib\n",
         {"scratch1-MDT0000", "scratch1-MDT0001"}, {"10.149.100.101", "10.149.100.102"}},
        {"a double mount lists each MDT once", "lustre",
         "mdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.1@tcp\n"
         "mdc.lustre-MDT0001-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.2@tcp\n"
         "mdc.lustre-MDT0000-mdc-ffff8800da9f0800.mds_conn_uuid=192.168.0.1@tcp\n"
         "mdc.lustre-MDT0001-mdc-ffff8800da9f0800.mds_conn_uuid=192.168.0.2@tcp\n",
         {"lustre-MDT0000", "lustre-MDT0001"}, {"192.168.0.1", "192.168.0.2"}},
        {"an empty value followed by another device; other lines skipped", "lustre",
         "\nno equals sign\nmdc.lustre-MDT0000-mdc-ffff8803f0d41000.mds_conn_uuid=\n"
         "mdc.lustre-MDT0001-mdc-ffff8803f0d41000.mds_conn_uuid=192.168.0.2@tcp\nstray line\n"
         "mdc.lustre2-MDT0000-mdc-ffff8803f0d41001.mds_conn_uuid=192.168.0.9@tcp\n",
         {"lustre-MDT0000", "lustre-MDT0001"}, {"", "192.168.0.2"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Reply(row.text);
        Outputs names, servers{"replaced"};
        EXPECT_FALSE(LustreAPI::GetMDTList(row.fsName, names, servers).Failed());
        EXPECT_EQ(zq_fake_last_command(), "lctl get_param mdc." + std::string(row.fsName) + "*.mds_conn_uuid");
        EXPECT_THAT(names, ElementsAreArray(row.names));
        EXPECT_THAT(servers, ElementsAreArray(row.servers));
    }
    // Names are appended to; servers are emptied even by a failure.
    RecordingLogWriter log;
    Outputs names{"kept"}, servers{"dropped"};
    Reply("", "error\n", 2);
    EXPECT_TRUE(LustreAPI::GetMDTList("nosuch", names, servers).Failed());
    EXPECT_THAT(names, ElementsAre("kept"));
    EXPECT_THAT(servers, IsEmpty());
    EXPECT_THAT(log.Texts(), ElementsAre("Command lctl get_param mdc.nosuch*.mds_conn_uuid failed with Error error\n",
                                         "Cannot retrieve the list of MDTs for the Filesystem nosuch"));
}

TEST(ChangelogUsers, RegisterReadsTheIdentifierOfEveryVersion) {
    const struct Row {
        const char* reply;
        const char* identifier;
    } rows[] = {
        {"lustre-MDT0000: Registered changelog userid 'cl1'\n", "cl1"},
        {"lustre-MDT0000: Registered changelog userid 'cl2-watcher'\n", "cl2-watcher"},
        {"lustre-MDT0000:    Registered changelog userid 'cl12'", "cl12"},
        {"\n\nlustre-MDT0000: Registered changelog userid 'cl4'\n\n", "cl4"},
        {"lustre-MDT0000: Registered changelog userid 'cl5'\nlustre-MDT0000: Registered changelog userid 'cl6'\n",
         "cl6"},
    };
    RecordingLogWriter log;
    for (const Row& row : rows) {
        Reply(row.reply);
        std::string user = "before";
        EXPECT_FALSE(Register(user).Failed()) << row.reply;
        EXPECT_EQ(user, row.identifier);
    }
    EXPECT_STREQ(zq_fake_last_command(), "ssh root@mds1 'lctl --device lustre-MDT0000 changelog_register'");
    EXPECT_THAT(log.lines, IsEmpty());
}

TEST(ChangelogUsers, RegisterRefusesUnexpectedReplies) {
    const std::string mismatch = "The Device name didn't match the output. Registering changelog user failed for "
                                 "lustre-MDT0000 since output is ";
    const std::string unexpected = "Registering changelog user failed for lustre-MDT0000 with ";
    const struct Row {
        const char* reply;
        std::string logLine;
        const char* userAfter;
    } rows[] = {
        {"lustre-MDT0001: Registered changelog userid 'cl1'\n",
         mismatch + "lustre-MDT0001: Registered changelog userid 'cl1'", "before"},
        {"cl1\n", mismatch + "cl1", "before"},
        {"lustre-MDT0000:\tRegistered changelog userid 'cl1'\n",
         unexpected + "lustre-MDT0000:\tRegistered changelog userid 'cl1'", "before"},
        {"lustre-MDT0000\n", unexpected + "lustre-MDT0000", "before"},
        {"lustre-MDT0000: Registered changelog userid ''\n",
         unexpected + "lustre-MDT0000: Registered changelog userid ''", "before"},
        {"lustre-MDT0000: Registered changelog userid 'cl7'\nlustre-MDT0000: oops\n", unexpected + "lustre-MDT0000: oops",
         "cl7"},
        {"\n\n", unexpected + "an empty reply", "before"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        RecordingLogWriter log;
        Reply(row.reply);
        std::string user = "before";
        EXPECT_TRUE(IsError774(Register(user), "Registering Changelog user failed for lustre-MDT0000", kRegister));
        EXPECT_THAT(log.Texts(), ElementsAre(row.logLine));
        EXPECT_EQ(user, row.userAfter);
    }
}

TEST(ChangelogUsers, DeregisterAcceptsOnlyTheReplyOfItsUser) {
    const struct Row {
        const char* user;
        const char* reply;
        bool accepted;
    } rows[] = {
        {"cl1", "lustre-MDT0000: Deregistered changelog user 'cl1'\n", true},  // up to 2.14
        {"cl1", "lustre-MDT0000: Deregistered changelog user #1\n", true},     // 2.15 on
        {"cl12-watcher", "lustre-MDT0000: Deregistered changelog user #12\n", true},
        {"cl07", "lustre-MDT0000: Deregistered changelog user #7\n", true},
        {"cl1", "\nlustre-MDT0000: Deregistered changelog user 'cl1'\nanything\n", true},
        {"cl1", "\n", true},
        {"cl1", "lustre-MDT0000: Deregistered changelog user 'cl1' \n", false},
        {"cl1", "lustre-MDT0000: Deregistered changelog user 'cl2'\n", false},
        {"cl1", "lustre-MDT0001: Deregistered changelog user 'cl1'\n", false},
        {"cl1", "lustre-MDT0000: Deregistered changelog user #11\n", false},
        {"cl1", "lustre-MDT0000: Deregistered changelog user 1\n", false},
        {"watcher", "lustre-MDT0000: Deregistered changelog user #1\n", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        RecordingLogWriter log;
        Reply(row.reply);
        std::string user = row.user;
        const CKxError error = Deregister(user);
        EXPECT_EQ(user, row.user);
        EXPECT_EQ(zq_fake_last_command(),
                  "ssh root@mds1 'lctl --device lustre-MDT0000 changelog_deregister " + user + "'");
        if (row.accepted) {
            EXPECT_FALSE(error.Failed());
            continue;
        }
        const std::string line = std::string(row.reply).substr(0, std::strlen(row.reply) - 1);
        EXPECT_TRUE(IsError774(error, "Cannot de-register the changelog user " + user + ". It returned " + line));
        EXPECT_THAT(log.Texts(), ElementsAre("Cannot deregister the changelog user " + user + ". It returned " + line));
    }
}

TEST(ChangelogIndexes, CurrentIndexIsTheFirstIndexLine) {
    const struct Row {
        const char* text;
        const char* index;  // or the error
        bool ok;
    } rows[] = {
        {"mdd.lustre-MDT0000.changelog_users=current index: 5\nID    index\ncl1   5\n", "5", true},
        {"mdd.lustre-MDT0000.changelog_users=\ncurrent_index: 42\nID  index (idle) mask\n", "42", true},
        {"current_index: 3\ncurrent index: 4\n", "3", true},
        {"x current index: 1\ncurrent index: 2\n", kParseError, false},
        {"ID    index\ncl1   5\n", "Cannot get changelog current index from the MDT lustre-MDT0000", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        RecordingLogWriter log;
        Reply(row.text);
        std::string index = "before";
        const CKxError error = LustreAPI::GetChangelogCurrentIndex("mds1", kMdt, "lustre", "root", index);
        EXPECT_STREQ(zq_fake_last_command(), kListing);
        if (!row.ok) {
            EXPECT_TRUE(IsError774(error, row.index));
            EXPECT_EQ(index, "before");
            continue;
        }
        EXPECT_FALSE(error.Failed());
        EXPECT_EQ(index, row.index);
        EXPECT_THAT(log.Texts(),
                    ElementsAre("The Current Index for Changelogs at MDT lustre-MDT0000 is " + index));
    }
}

TEST(ChangelogIndexes, StartAndEndAreTheLastLinesOfTheirKind) {
    const std::string notFound = "Cannot find the changelog reader cl1 in the MDT lustre-MDT0000 for Lustre FS lustre";
    const struct Row {
        const char* text;
        const char* before;  // the start record on entry
        Outputs after;       // start, end
        std::string error;
    } rows[] = {
        {"mdd.lustre-MDT0000.changelog_users=\ncurrent index: 34\nID    index (idle seconds)\ncl1   0 (1725676)\n"
         "cl2   34 (28)\n", "before", {"0", "34"}, ""},
        {"current index: 1\ncl1 4\ncurrent index: 2\ncl1 6\ncl10 7\n", "before", {"6", "2"}, ""},
        {"cl1 4\n", "before", {"4", "before"}, ""},
        {"current index: 9\ncl2 4\n", "17", {"17", "9"}, notFound},
        {"current index: 9\ncl1   \n", "before", {"", "9"}, notFound},
        {"current index: 9\ncl1 4\nreader cl1 5\n", "before", {"4", "9"}, kParseError},
        {"cl1 4\nname=current index:9\n", "before", {"4", "before"}, kParseError},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        RecordingLogWriter log;
        Reply(row.text);
        Outputs out{row.before, "before"};
        const CKxError error = StartAndEnd("cl1", out);
        EXPECT_EQ(out, row.after);
        if (row.error.empty()) {
            EXPECT_FALSE(error.Failed());
        } else {
            EXPECT_TRUE(IsError774(error, row.error, kStartAndEndFunction));
        }
    }
    RecordingLogWriter log;
    Reply("current index: 9\ncl1 4\n");
    Outputs out{"", ""};
    EXPECT_FALSE(StartAndEnd("cl1", out).Failed());
    EXPECT_THAT(log.Texts(), ElementsAre("The End Record Number for Changelogs at MDT lustre-MDT0000 is 9",
                                         "The Start Record Number for Changelogs at MDT lustre-MDT0000 is 4"));
}

// The runner's error comes back whole, after the operation's line and the
// keyless-ssh hint; the outputs stay as they were.
TEST(ChangelogUsers, FailedRemoteCommandsLogTheOperationAndTheSshHint) {
    const struct Row {
        const char* line;
        std::function<CKxError(Outputs&)> call;
    } rows[] = {
        {"Cannot register the changelog in MDT lustre-MDT0000 for the Filesystem lustre on host mds1",
         [](Outputs& out) { return Register(out[0]); }},
        {"Cannot deregister the changelog before in MDT lustre-MDT0000 for the Filesystem lustre on host mds1",
         [](Outputs& out) { return Deregister(out[0]); }},
        {"Cannot get the current index of the changelogs in the MDT lustre-MDT0000 for Lustre FS lustre",
         [](Outputs& out) { return LustreAPI::GetChangelogCurrentIndex("mds1", kMdt, "lustre", "root", out[0]); }},
        {"Cannot get the changelog user information for the MDT lustre-MDT0000 of Lustre FS lustre",
         [](Outputs& out) { return StartAndEnd("cl1", out); }},
    };
    const std::string refused = "root@mds1: Permission denied (publickey).\n";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        RecordingLogWriter log;
        Reply("", refused, 255);
        Outputs out{"before", "before"};
        const CKxError error = row.call(out);
        const std::string failed = "Command " + std::string(zq_fake_last_command()) + " failed with Error " + refused;
        EXPECT_TRUE(IsError774(error, failed, kRunCommandFunction));
        EXPECT_THAT(log.Texts(), ElementsAre(failed, row.line,
                                             "Check whether keyless ssh is enabled for the user root on the host mds1"));
        EXPECT_THAT(out, ElementsAre("before", "before"));
    }
}

// A refused value runs nothing and leaves the outputs alone, in every
// operation; the checks themselves are tested in ListingTest.
TEST(ChangelogUsers, UnsafeArgumentsRunNothing) {
    const struct Row {
        const char* message;
        std::function<CKxError(Outputs&)> call;
    } rows[] = {
        {"The host \"x;y\" is refused: it holds the character ';'",
         [](Outputs& o) { return LustreAPI::RegisterChangelog("x;y", kMdt, "fs", "root", o[0]); }},
        {"The changelog user \"-x\" is refused: it begins with '-'",
         [](Outputs&) {
             std::string user = "-x";
             return LustreAPI::DeRegisterChangelog("h", kMdt, "fs", "root", user);
         }},
        {"The user \"a@b\" is refused: it holds the character '@'",
         [](Outputs& o) { return LustreAPI::GetChangelogCurrentIndex("h", kMdt, "fs", "a@b", o[0]); }},
        {"The MDT \"x y\" is refused: it holds the character ' '",
         [](Outputs& o) { return StartAndEndOf("h", "x y", o); }},
        {"The file-system name \"\" is refused: it is empty",
         [](Outputs& o) {
             Outputs names{"before"};
             CKxError e = LustreAPI::GetMDTList("", names, o);
             o[0] = names.at(0);
             return e;
         }},
        {"The output file \"f;g\" is refused: it holds the character ';'",
         [](Outputs&) { return LustreAPI::GetChangelogs(kMdt, "", "1", "2", "f;g"); }},
    };
    Reply("current index: 1\ncl1 1\nlustre-MDT0000: Registered changelog userid 'cl1'\n");
    RecordingLogWriter log;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        const unsigned long calls = zq_fake_call_count();
        Outputs out{"before", "before"};
        EXPECT_TRUE(IsError774(row.call(out), row.message));
        EXPECT_EQ(zq_fake_call_count(), calls);
        EXPECT_THAT(out, ElementsAre("before", "before"));
    }
    EXPECT_THAT(log.lines, IsEmpty());
}

}  // namespace
