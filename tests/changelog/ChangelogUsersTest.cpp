// RegisterChangelog and DeRegisterChangelog against fake tools that print
// the replies of each Lustre version.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChangelogTestSupport.h"
#include "LustreAPI.h"

using namespace changelog_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char kMdt[] = "lustre-MDT0000";
const char kKeyless[] = "Check whether keyless ssh is enabled for the user root on the host mds1";

class ChangelogUsers : public ::testing::Test {
protected:
    CKxError Register() { return LustreAPI::RegisterChangelog("mds1", kMdt, "lustre", "root", changelogUser); }
    CKxError Deregister() {
        return LustreAPI::DeRegisterChangelog("mds1", kMdt, "lustre", "root", changelogUser);
    }

    FakeTools tools;
    RecordingLogWriter log;
    std::string changelogUser = "before";
};

// ---- Registration -----------------------------------------------------------

TEST_F(ChangelogUsers, RegisterRunsTheExactRemoteLine) {
    tools.SetOutput("lctl", "lustre-MDT0000: Registered changelog userid 'cl1'\n");
    ASSERT_FALSE(Register().Failed());
    EXPECT_THAT(tools.Invocations(), ElementsAre("ssh [root@mds1] [lctl --device lustre-MDT0000 changelog_register]",
                                                 "lctl [--device] [lustre-MDT0000] [changelog_register]"));
}

TEST_F(ChangelogUsers, RegisterReadsTheIdentifierOfEveryVersion) {
    struct Row {
        const char* what;
        const char* reply;
        const char* identifier;
    } rows[] = {
        {"2.0 to 2.14, and 2.15 without a name", "lustre-MDT0000: Registered changelog userid 'cl1'\n", "cl1"},
        {"2.15 with a name", "lustre-MDT0000: Registered changelog userid 'cl2-watcher'\n", "cl2-watcher"},
        {"several blanks after the colon", "lustre-MDT0000:    Registered changelog userid 'cl12'\n", "cl12"},
        {"no final line end", "lustre-MDT0000: Registered changelog userid 'cl3'", "cl3"},
        {"empty lines around it", "\n\nlustre-MDT0000: Registered changelog userid 'cl4'\n\n", "cl4"},
        {"two replies: the last counts",
         "lustre-MDT0000: Registered changelog userid 'cl5'\nlustre-MDT0000: Registered changelog userid 'cl6'\n",
         "cl6"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tools.SetOutput("lctl", row.reply);
        changelogUser = "before";
        EXPECT_FALSE(Register().Failed());
        EXPECT_EQ(changelogUser, row.identifier);
    }
    EXPECT_THAT(log.lines, IsEmpty());
}

TEST_F(ChangelogUsers, RegisterRefusesUnexpectedReplies) {
    const std::string error = "Registering Changelog user failed for lustre-MDT0000";
    const std::string mismatch =
        "The Device name didn't match the output. Registering changelog user failed for lustre-MDT0000 since "
        "output is ";
    const std::string unexpected = "Registering changelog user failed for lustre-MDT0000 with ";
    struct Row {
        const char* what;
        const char* reply;
        std::string logLine;
        const char* changelogUserAfter;
    } rows[] = {
        {"another device", "lustre-MDT0001: Registered changelog userid 'cl1'\n",
         mismatch + "lustre-MDT0001: Registered changelog userid 'cl1'", "before"},
        {"the device in other letter case", "LUSTRE-MDT0000: Registered changelog userid 'cl1'\n",
         mismatch + "LUSTRE-MDT0000: Registered changelog userid 'cl1'", "before"},
        {"the name-only reply of -n", "cl1\n", mismatch + "cl1", "before"},
        {"other words", "lustre-MDT0000: something else\n", unexpected + "lustre-MDT0000: something else",
         "before"},
        {"a tab after the colon", "lustre-MDT0000:\tRegistered changelog userid 'cl1'\n",
         unexpected + "lustre-MDT0000:\tRegistered changelog userid 'cl1'", "before"},
        {"the device without a colon", "lustre-MDT0000\n", unexpected + "lustre-MDT0000", "before"},
        {"no identifier", "lustre-MDT0000: Registered changelog userid ''\n",
         unexpected + "lustre-MDT0000: Registered changelog userid ''", "before"},
        {"a good line, then a bad one", "lustre-MDT0000: Registered changelog userid 'cl7'\nlustre-MDT0000: oops\n",
         unexpected + "lustre-MDT0000: oops", "cl7"},
        {"only line ends", "\n\n", unexpected + "an empty reply", "before"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tools.SetOutput("lctl", row.reply);
        log.lines.clear();
        changelogUser = "before";
        EXPECT_TRUE(IsError774(Register(), error, kRegisterFunction));
        EXPECT_THAT(log.Texts(), ElementsAre(row.logLine));
        EXPECT_EQ(log.lines.at(0).function, kRegisterFunction);
        EXPECT_EQ(changelogUser, row.changelogUserAfter);
    }
}

TEST_F(ChangelogUsers, RegisterFailedCommandReturnsTheRunnersErrorAfterTwoLines) {
    tools.SetOutput("lctl", "", "No device found for name lustre-MDT0000: Invalid argument\n", 1);
    const std::string command = "ssh root@mds1 'lctl --device lustre-MDT0000 changelog_register'";
    const std::string failed =
        "Command " + command + " failed with Error No device found for name lustre-MDT0000: Invalid argument\n";
    const CKxError error = Register();
    EXPECT_TRUE(IsError774(error, failed, kRunCommandFunction));
    EXPECT_THAT(log.events,
                ElementsAre("level?", "log:" + failed, "level?",
                            "log:Cannot register the changelog in MDT lustre-MDT0000 for the Filesystem lustre on "
                            "host mds1",
                            "level?", std::string("log:") + kKeyless));
    EXPECT_EQ(log.lines.at(1).function, kRegisterFunction);
    EXPECT_EQ(log.lines.at(2).function, kRegisterFunction);
    EXPECT_EQ(changelogUser, "before");
}

TEST_F(ChangelogUsers, LevelIsAskedBeforeEachLineOfAPair) {
    tools.RefuseLogin();
    log.AnswerLevels({-1, 0, -1});
    EXPECT_TRUE(Register().Failed());
    EXPECT_THAT(log.events,
                ElementsAre("level?", "level?",
                            "log:Cannot register the changelog in MDT lustre-MDT0000 for the Filesystem lustre on "
                            "host mds1",
                            "level?"));
}

TEST_F(ChangelogUsers, RefusedLoginRunsNoLctl) {
    tools.RefuseLogin();
    const std::string failed = "Command ssh root@mds1 'lctl --device lustre-MDT0000 changelog_register' failed "
                               "with Error root@mds1: Permission denied (publickey).\n";
    EXPECT_TRUE(IsError774(Register(), failed, kRunCommandFunction));
    EXPECT_THAT(tools.Invocations(), ElementsAre("ssh [root@mds1] [lctl --device lustre-MDT0000 changelog_register]"));
}

// ---- Deregistration ---------------------------------------------------------

TEST_F(ChangelogUsers, DeregisterRunsTheExactRemoteLine) {
    changelogUser = "cl2-watcher";
    tools.SetOutput("lctl", "lustre-MDT0000: Deregistered changelog user #2\n");
    ASSERT_FALSE(Deregister().Failed());
    EXPECT_THAT(tools.Invocations(),
                ElementsAre("ssh [root@mds1] [lctl --device lustre-MDT0000 changelog_deregister cl2-watcher]",
                            "lctl [--device] [lustre-MDT0000] [changelog_deregister] [cl2-watcher]"));
    EXPECT_EQ(changelogUser, "cl2-watcher");
}

TEST_F(ChangelogUsers, DeregisterAcceptsTheReplyOfEveryVersion) {
    struct Row {
        const char* what;
        const char* user;
        const char* reply;
    } rows[] = {
        {"up to 2.14", "cl1", "lustre-MDT0000: Deregistered changelog user 'cl1'\n"},
        {"2.15 on", "cl1", "lustre-MDT0000: Deregistered changelog user #1\n"},
        {"2.15 on, named user", "cl12-watcher", "lustre-MDT0000: Deregistered changelog user #12\n"},
        {"2.15 on, leading zero", "cl07", "lustre-MDT0000: Deregistered changelog user #7\n"},
        {"an empty first line", "cl1", "\nlustre-MDT0000: Deregistered changelog user 'cl1'\n"},
        {"further lines are not read", "cl1", "lustre-MDT0000: Deregistered changelog user #1\nanything\n"},
        {"only line ends", "cl1", "\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tools.SetOutput("lctl", row.reply);
        changelogUser = row.user;
        EXPECT_FALSE(Deregister().Failed());
        EXPECT_EQ(changelogUser, row.user);
    }
    EXPECT_THAT(log.lines, IsEmpty());
}

TEST_F(ChangelogUsers, DeregisterRefusesOtherReplies) {
    struct Row {
        const char* what;
        const char* user;
        const char* line;
    } rows[] = {
        {"a trailing blank", "cl1", "lustre-MDT0000: Deregistered changelog user 'cl1' "},
        {"another identifier", "cl1", "lustre-MDT0000: Deregistered changelog user 'cl2'"},
        {"another device", "cl1", "lustre-MDT0001: Deregistered changelog user 'cl1'"},
        {"another number", "cl1", "lustre-MDT0000: Deregistered changelog user #11"},
        {"a number for a user that has none", "watcher", "lustre-MDT0000: Deregistered changelog user #1"},
        {"the number quoted", "cl1", "lustre-MDT0000: Deregistered changelog user '1'"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tools.SetOutput("lctl", std::string(row.line) + "\nmore\n");
        log.lines.clear();
        changelogUser = row.user;
        const std::string user = row.user;
        EXPECT_TRUE(IsError774(Deregister(),
                               "Cannot de-register the changelog user " + user + ". It returned " + row.line,
                               kDeRegisterFunction));
        EXPECT_THAT(log.Texts(),
                    ElementsAre("Cannot deregister the changelog user " + user + ". It returned " + row.line));
    }
}

TEST_F(ChangelogUsers, DeregisterFailedCommandReturnsTheRunnersErrorAfterTwoLines) {
    changelogUser = "cl9";
    tools.SetOutput("lctl", "", "error: changelog_deregister: User not found\n", 2);
    const std::string failed = "Command ssh root@mds1 'lctl --device lustre-MDT0000 changelog_deregister cl9' "
                               "failed with Error error: changelog_deregister: User not found\n";
    EXPECT_TRUE(IsError774(Deregister(), failed, kRunCommandFunction));
    EXPECT_THAT(log.Texts(),
                ElementsAre(failed,
                            "Cannot deregister the changelog cl9 in MDT lustre-MDT0000 for the Filesystem lustre on "
                            "host mds1",
                            kKeyless));
    EXPECT_EQ(changelogUser, "cl9");
}

}  // namespace
