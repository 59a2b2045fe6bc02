// RegisterChangelog and DeRegisterChangelog against fake tools that print
// the replies of each Lustre version.
#include <functional>

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

// ---- A failed remote command, for each operation that runs one over ssh ----

// The runner's error comes back whole, after its own line, the operation's
// line and the keyless-ssh hint, each written after asking the level; the
// outputs stay as they were.
TEST(FailedRemoteCommand, ReturnsTheRunnersErrorAfterTheOperationsLines) {
    using Outputs = std::vector<std::string>;
    const std::string listing = "ssh root@mds1 'lctl get_param mdd.lustre-MDT0000.changelog_users'";
    const std::string refused = "root@mds1: Permission denied (publickey).\n";
    const struct Row {
        const char* operation;
        std::string err;  // lctl's; empty: the login is refused
        int status;
        std::string command;
        std::string line;
        const char* function;
        std::function<CKxError(Outputs&)> call;
    } rows[] = {
        {"RegisterChangelog", "No device found for name lustre-MDT0000: Invalid argument\n", 1,
         "ssh root@mds1 'lctl --device lustre-MDT0000 changelog_register'",
         "Cannot register the changelog in MDT lustre-MDT0000 for the Filesystem lustre on host mds1",
         kRegisterFunction,
         [](Outputs& out) { return LustreAPI::RegisterChangelog("mds1", kMdt, "lustre", "root", out[0]); }},
        {"RegisterChangelog", "", 0, "ssh root@mds1 'lctl --device lustre-MDT0000 changelog_register'",
         "Cannot register the changelog in MDT lustre-MDT0000 for the Filesystem lustre on host mds1",
         kRegisterFunction,
         [](Outputs& out) { return LustreAPI::RegisterChangelog("mds1", kMdt, "lustre", "root", out[0]); }},
        {"DeRegisterChangelog", "error: changelog_deregister: User not found\n", 2,
         "ssh root@mds1 'lctl --device lustre-MDT0000 changelog_deregister cl9'",
         "Cannot deregister the changelog cl9 in MDT lustre-MDT0000 for the Filesystem lustre on host mds1",
         kDeRegisterFunction,
         [](Outputs& out) {
             std::string user = "cl9";
             const CKxError error = LustreAPI::DeRegisterChangelog("mds1", kMdt, "lustre", "root", user);
             if (user != "cl9") out[0] = user;
             return error;
         }},
        {"GetChangelogCurrentIndex",
         "error: get_param: param_path 'mdd/lustre-MDT0000/changelog_users': No such file or directory\n", 2, listing,
         "Cannot get the current index of the changelogs in the MDT lustre-MDT0000 for Lustre FS lustre",
         kCurrentIndexFunction,
         [](Outputs& out) { return LustreAPI::GetChangelogCurrentIndex("mds1", kMdt, "lustre", "root", out[0]); }},
        {"GetStartAndEndChangelogRecordNumbers", "", 0, listing,
         "Cannot get the changelog user information for the MDT lustre-MDT0000 of Lustre FS lustre",
         kStartAndEndFunction,
         [](Outputs& out) {
             return LustreAPI::GetStartAndEndChangelogRecordNumbers("mds1", kMdt, "lustre", "root", "cl1", out[0],
                                                                    out[1]);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.operation) + (row.err.empty() ? ", login refused" : ", lctl fails"));
        FakeTools tools;
        RecordingLogWriter log;
        if (row.err.empty())
            tools.RefuseLogin();
        else
            tools.SetOutput("lctl", "", row.err, row.status);
        Outputs outputs{"before", "before"};
        const std::string failed = "Command " + row.command + " failed with Error " + (row.err.empty() ? refused : row.err);
        EXPECT_TRUE(IsError774(row.call(outputs), failed, kRunCommandFunction));
        EXPECT_THAT(log.events, ElementsAre("level?", "log:" + failed, "level?", "log:" + row.line, "level?",
                                            std::string("log:") + kKeyless));
        EXPECT_EQ(log.lines.at(1).function, row.function);
        EXPECT_EQ(log.lines.at(2).function, row.function);
        EXPECT_THAT(outputs, ElementsAre("before", "before"));
        // The remote line went to ssh; a refused login runs nothing on the server.
        const std::vector<std::string> ran = tools.Invocations();
        ASSERT_EQ(ran.size(), row.err.empty() ? 1u : 2u);
        EXPECT_EQ(ran[0], "ssh [root@mds1] [" + row.command.substr(15, row.command.size() - 16) + "]");
    }
}

}  // namespace
