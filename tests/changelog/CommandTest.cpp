// RunCommand and GetChangelogs through the real shell.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChangelogTestSupport.h"
#include "LustreAPI.h"

using namespace changelog_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::string FailedText(const std::string& command, const std::string& errors) {
    return "Command " + command + " failed with Error " + errors;
}

// Lines in order, appended behind what the list held, with the piece after
// the last line end (empty when the output ends with one).
TEST(RunCommand, DeliversTheOutputsLines) {
    const struct Row {
        const char* command;
        std::list<std::string> before;
        std::list<std::string> after;
    } rows[] = {
        {"printf 'one\\ntwo\\n'", {}, {"one", "two", ""}},
        {"printf 'one\\ntwo'", {}, {"one", "two"}},
        {"echo new", {"kept"}, {"kept", "new", ""}},
        {"printf '\\n\\n'", {}, {"", "", ""}},
    };
    RecordingLogWriter log;
    for (const Row& row : rows) {
        std::list<std::string> lines = row.before;
        EXPECT_FALSE(LustreAPI::RunCommand(row.command, lines).Failed()) << row.command;
        EXPECT_EQ(lines, row.after) << row.command;
    }
    EXPECT_THAT(log.lines, IsEmpty());
}

TEST(RunCommand, LargeOutputArrivesWhole) {
    // Far beyond any pipe buffer, on both streams at once.
    std::list<std::string> lines;
    const std::string command = "seq 1 200000; seq 1 100000 >&2";
    ASSERT_FALSE(LustreAPI::RunCommand(command, lines).Failed());
    ASSERT_EQ(lines.size(), 200001u);
    EXPECT_EQ(lines.front(), "1");
    EXPECT_EQ(*std::next(lines.begin(), 123456), "123457");
    EXPECT_EQ(*std::prev(lines.end(), 2), "200000");
    EXPECT_EQ(lines.back(), "");
}

TEST(RunCommand, FailingCommandThatPrintsOnBothStreamsDeliversNothing) {
    RecordingLogWriter log;
    const std::string command = "echo out; echo err >&2; exit 3";
    std::list<std::string> lines{"untouched"};
    const CKxError error = LustreAPI::RunCommand(command, lines);
    EXPECT_TRUE(IsError774(error, FailedText(command, "err\n"), kRunCommandFunction));
    EXPECT_THAT(lines, ElementsAre("untouched"));
    EXPECT_THAT(log.events, ElementsAre("level?", "log:" + FailedText(command, "err\n")));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].level, 0);
    EXPECT_EQ(log.lines[0].function, kRunCommandFunction);
}

TEST(RunCommand, SuccessWithoutOutputIsTheFailedCommandError) {
    RecordingLogWriter log;
    std::list<std::string> lines;
    const CKxError error = LustreAPI::RunCommand("echo quiet >&2", lines);
    EXPECT_TRUE(IsError774(error, FailedText("echo quiet >&2", "quiet\n"), kRunCommandFunction));
    EXPECT_THAT(log.Texts(), ElementsAre(FailedText("echo quiet >&2", "quiet\n")));
    EXPECT_THAT(lines, IsEmpty());
}

TEST(RunCommand, FailureIsNotLoggedBelowLevelZero) {
    RecordingLogWriter log;
    log.AnswerLevels({-1});
    std::list<std::string> lines;
    EXPECT_TRUE(LustreAPI::RunCommand("exit 1", lines).Failed());
    EXPECT_THAT(log.events, ElementsAre("level?"));
}

class GetChangelogs : public ::testing::Test {
protected:
    FakeTools tools;
    RecordingLogWriter log;
    std::string file = tools.dir() / "records.txt";
};

TEST_F(GetChangelogs, RunsTheExactLineAndIgnoresItsSecondArgument) {
    WriteFile(file, "old content\n");
    tools.SetOutput("lfs", "");
    EXPECT_FALSE(LustreAPI::GetChangelogs("lustre-MDT0000", "ignored; touch x", "5", "9", file).Failed());
    EXPECT_THAT(tools.Invocations(), ElementsAre("lfs [changelog] [lustre-MDT0000] [5] [9]"));
    // The redirection created the file anew, and nothing was read from it.
    EXPECT_EQ(ReadFile(file), "");
    EXPECT_THAT(log.lines, IsEmpty());
}

TEST_F(GetChangelogs, RecordsGoIntoTheFile) {
    const std::string records = "5 01CREAT 10:00:00.000000000 2024.01.01 0x0 t=[0x200000401:0x1:0x0] a\n";
    tools.SetOutput("lfs", "");
    WriteFile(tools.dir() / "lfs.out", records);
    // lfs writes to the file, not to the library's output text.
    EXPECT_FALSE(LustreAPI::GetChangelogs("lustre-MDT0000", "", "5", "0", file).Failed());
    EXPECT_EQ(ReadFile(file), records);
}

TEST_F(GetChangelogs, EmptyRecordNumbersLeaveTheMdtAlone) {
    tools.SetOutput("lfs", "");
    EXPECT_FALSE(LustreAPI::GetChangelogs("lustre-MDT0000", "", "", "", file).Failed());
    EXPECT_THAT(tools.Invocations(), ElementsAre("lfs [changelog] [lustre-MDT0000]"));
}

TEST_F(GetChangelogs, EmptyStartBeforeAnEndIsRefused) {
    // lfs would read the end record as the start.
    const CKxError error = LustreAPI::GetChangelogs("lustre-MDT0000", "", "", "9", file);
    EXPECT_TRUE(IsError774(error, "The start record \"\" is refused: it is empty", kGetChangelogsFunction));
    EXPECT_THAT(tools.Invocations(), IsEmpty());
}

TEST_F(GetChangelogs, FailingLfsLogsAndReturnsItsErrorText) {
    tools.SetOutput("lfs", "", "lfs changelog: cannot start changelog: No such file or directory\n", 2);
    const std::string command = "lfs changelog lustre-MDT0009 1 2 > " + file;
    const std::string text =
        FailedText(command, "lfs changelog: cannot start changelog: No such file or directory\n");
    const CKxError error = LustreAPI::GetChangelogs("lustre-MDT0009", "", "1", "2", file);
    EXPECT_TRUE(IsError774(error, text, kGetChangelogsFunction));
    EXPECT_THAT(log.events, ElementsAre("level?", "log:" + text));
    EXPECT_EQ(log.lines.at(0).function, kGetChangelogsFunction);
}

}  // namespace
