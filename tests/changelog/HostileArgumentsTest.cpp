// Values that a shell would read something into are refused before any
// command line is built: nothing runs, outputs stay as they were, and the
// error names the argument and quotes the value.
#include <cstdio>
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChangelogTestSupport.h"
#include "LustreAPI.h"

using namespace changelog_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

struct Hostile {
    std::string value;   // CANARY stands for the canary file's path
    std::string quoted;  // the value as the message quotes it
    std::string reason;
};

const Hostile kHostile[] = {
    {"x'; touch CANARY; '", "x'; touch CANARY; '", "it holds the character '''"},
    {"x;touch CANARY", "x;touch CANARY", "it holds the character ';'"},
    {"$(touch CANARY)", "$(touch CANARY)", "it holds the character '$'"},
    {"`touch CANARY`", "`touch CANARY`", "it holds the character '`'"},
    {"x && touch CANARY", "x && touch CANARY", "it holds the character ' '"},
    {"x|touch CANARY", "x|touch CANARY", "it holds the character '|'"},
    {"x\ntouch CANARY", "x\\x0atouch CANARY", "it holds the character '\\x0a'"},
    {"x\ttouch", "x\\x09touch", "it holds the character '\\x09'"},
    {"x>CANARY", "x>CANARY", "it holds the character '>'"},
    {"\"x\"", "\\\"x\\\"", "it holds the character '\\\"'"},
    {"x\\y", "x\\\\y", "it holds the character '\\\\'"},
    {"*", "*", "it holds the character '*'"},
    {"~root", "~root", "it holds the character '~'"},
    {"caf\xc3\xa9", "caf\\xc3\\xa9", "it holds the character '\\xc3'"},
    {"-oProxyCommand=touch CANARY", "-oProxyCommand=touch CANARY", "it begins with '-'"},
    {"-x", "-x", "it begins with '-'"},
    {"", "", "it is empty"},
};

// For host and user only: an ssh destination cannot hold a second '@' or a '/'.
const Hostile kHostileLogin[] = {
    {"evil@mds1", "evil@mds1", "it holds the character '@'"},
    {"mds1/x", "mds1/x", "it holds the character '/'"},
};

std::string WithCanary(std::string text, const std::string& canary) {
    for (std::size_t at; (at = text.find("CANARY")) != std::string::npos;) text.replace(at, 6, canary);
    return text;
}

// One operation with one of its arguments set to the value under test.
struct Case {
    const char* operation;
    const char* argument;  // as the message names it
    bool login;
    const char* function;
    std::function<CKxError(const std::string& value, std::vector<std::string>& outputs)> call;
};

std::vector<Case> Cases() {
    using Outputs = std::vector<std::string>;
    std::vector<Case> cases;
    const auto changelogUsers = [&](const char* argument, bool login, int position) {
        const auto pick = [position](int i, const std::string& value, const char* normal) {
            return i == position ? value : std::string(normal);
        };
        cases.push_back({"RegisterChangelog", argument, login, kRegisterFunction,
                         [pick](const std::string& v, Outputs& out) {
                             return LustreAPI::RegisterChangelog(pick(0, v, "mds1"), pick(1, v, "lustre-MDT0000"),
                                                                 "lustre", pick(2, v, "root"), out[0]);
                         }});
        cases.push_back({"DeRegisterChangelog", argument, login, kDeRegisterFunction,
                         [pick](const std::string& v, Outputs& out) {
                             std::string user = "cl1";
                             CKxError error = LustreAPI::DeRegisterChangelog(
                                 pick(0, v, "mds1"), pick(1, v, "lustre-MDT0000"), "lustre", pick(2, v, "root"),
                                 user);
                             out[0] = user == "cl1" ? "before" : user;
                             return error;
                         }});
        cases.push_back({"GetChangelogCurrentIndex", argument, login, kCurrentIndexFunction,
                         [pick](const std::string& v, Outputs& out) {
                             return LustreAPI::GetChangelogCurrentIndex(pick(0, v, "mds1"),
                                                                        pick(1, v, "lustre-MDT0000"), "lustre",
                                                                        pick(2, v, "root"), out[0]);
                         }});
        cases.push_back({"GetStartAndEndChangelogRecordNumbers", argument, login, kStartAndEndFunction,
                         [pick](const std::string& v, Outputs& out) {
                             return LustreAPI::GetStartAndEndChangelogRecordNumbers(
                                 pick(0, v, "mds1"), pick(1, v, "lustre-MDT0000"), "lustre", pick(2, v, "root"),
                                 "cl1", out[0], out[1]);
                         }});
    };
    changelogUsers("host", true, 0);
    changelogUsers("MDT", false, 1);
    changelogUsers("user", true, 2);

    cases.push_back({"DeRegisterChangelog", "changelog user", false, kDeRegisterFunction,
                     [](const std::string& v, Outputs& out) {
                         std::string user = v;
                         CKxError error = LustreAPI::DeRegisterChangelog("mds1", "lustre-MDT0000", "lustre", "root", user);
                         out[0] = user == v ? "before" : user;
                         return error;
                     }});
    cases.push_back({"GetMDTList", "file-system name", false, kGetMDTListFunction,
                     [](const std::string& v, Outputs& out) {
                         std::vector<std::string> names{"before"};
                         std::vector<std::string> servers{"before"};
                         CKxError error = LustreAPI::GetMDTList(v, names, servers);
                         out[0] = names.size() == 1 ? names[0] : "changed";
                         out[1] = servers.size() == 1 ? servers[0] : "changed";
                         return error;
                     }});
    const auto dump = [&](const char* argument, int position) {
        cases.push_back({"GetChangelogs", argument, false, kGetChangelogsFunction,
                         [position](const std::string& v, Outputs& out) {
                             const auto pick = [&](int i, const char* normal) {
                                 return i == position ? v : std::string(normal);
                             };
                             return LustreAPI::GetChangelogs(pick(0, "lustre-MDT0000"), "", pick(1, "1"), pick(2, "2"),
                                                             pick(3, out[2].c_str()));
                         }});
    };
    dump("MDT", 0);
    dump("start record", 1);
    dump("end record", 2);
    dump("output file", 3);
    return cases;
}

TEST(HostileArguments, AreRefusedBeforeAnythingRuns) {
    FakeTools tools;
    RecordingLogWriter log;
    // The tools would happily run anything the shell hands them.
    tools.SetOutput("lctl", "current index: 1\ncl1 1\nlustre-MDT0000: Registered changelog userid 'cl1'\n");
    tools.SetOutput("lfs", "");
    const std::string canary = tools.dir() / "canary";
    for (const Case& c : Cases()) {
        std::vector<const Hostile*> values;
        for (const Hostile& h : kHostile) values.push_back(&h);
        if (c.login)
            for (const Hostile& h : kHostileLogin) values.push_back(&h);
        for (const Hostile* h : values) {
            const std::string value = WithCanary(h->value, canary);
            // Empty record numbers are allowed; an empty end is no hazard.
            if (value.empty() && std::string(c.argument) == "end record") continue;
            SCOPED_TRACE(std::string(c.operation) + ", " + c.argument + " = " + ::testing::PrintToString(value));
            // Each value on its own: what an earlier one ran is not counted again.
            std::remove(canary.c_str());
            std::remove((tools.dir() / "argv.log").c_str());
            std::vector<std::string> outputs{"before", "before", tools.dir() / "dump"};
            const CKxError error = c.call(value, outputs);
            const std::string message = std::string("The ") + c.argument + " \"" + WithCanary(h->quoted, canary) +
                                        "\" is refused: " + h->reason;
            EXPECT_TRUE(IsError774(error, message, c.function));
            EXPECT_EQ(outputs[0], "before");
            EXPECT_EQ(outputs[1], "before");
            EXPECT_FALSE(Exists(canary));
            EXPECT_FALSE(Exists(tools.dir() / "dump"));
            EXPECT_THAT(tools.Invocations(), IsEmpty());
        }
    }
    EXPECT_THAT(log.lines, IsEmpty());
}

TEST(HostileArguments, EveryAllowedCharacterReachesTheToolUnchanged) {
    FakeTools tools;
    const std::string word = "Az09._-:/+,=%@x";
    const std::string login = "Az09._-:+,=%x";
    tools.SetOutput("lctl", "\n");
    std::string user = word;
    EXPECT_FALSE(LustreAPI::DeRegisterChangelog(login, word, "fs", login, user).Failed());
    tools.SetOutput("lfs", "");
    const std::string file = tools.dir() / "out,=%+:.txt";
    EXPECT_FALSE(LustreAPI::GetChangelogs(word, "", word, word, file).Failed());
    EXPECT_THAT(tools.Invocations(),
                ElementsAre("ssh [" + login + "@" + login + "] [lctl --device " + word + " changelog_deregister " +
                                word + "]",
                            "lctl [--device] [" + word + "] [changelog_deregister] [" + word + "]",
                            "lfs [changelog] [" + word + "] [" + word + "] [" + word + "]"));
    EXPECT_TRUE(Exists(file));
}

}  // namespace
