// Many threads running many commands at once, with large output on both
// streams, through the host's runner and through RunCommand.
#include <list>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KxUtils.h"
#include "LustreAPI.h"
#include "TestSupport.h"
#include "ZqLib.h"

namespace {

std::string Numbers(int from, int to)
{
    std::string text;
    for (int i = from; i <= to; ++i) text += std::to_string(i) + '\n';
    return text;
}

// Thread t, command i: a different range on each stream, now and then
// megabytes; every third command fails and must bring its errors back whole
// as far as a message carries them (64 KiB).
std::string RunOne(int t, int i)
{
    const int count = i % 25 == 7 ? 300000 : 1 + (t * 7919 + i * 104729) % 9000;
    const std::string out = Numbers(t, t + count), err = Numbers(i, i + count / 2);
    const std::string command = "seq " + std::to_string(t) + " " + std::to_string(t + count) + " & seq " +
                                std::to_string(i) + " " + std::to_string(i + count / 2) + " >&2; wait";
    const std::string where = std::to_string(t) + "/" + std::to_string(i) + ": ";
    if (i % 3 == 0) {
        std::string gotOut, gotErr;
        const int status = ZqProcess::system(command.c_str(), &gotOut, &gotErr, 0, false);
        if (status != 0 || gotOut != out || gotErr != err) return where + "runner: status " + std::to_string(status);
    } else if (i % 3 == 1) {
        std::list<std::string> lines;
        if (LustreAPI::RunCommand(command, lines).Failed() || lines.size() != static_cast<size_t>(count) + 2 ||
            lines.back() != "" || lines.front() != std::to_string(t))
            return where + "RunCommand lines differ";
    } else {
        std::list<std::string> lines{"kept"};
        const CKxError e = LustreAPI::RunCommand(command + "; exit 3", lines);
        if (!e.Failed() ||
            e.GetMessages().back() != "Command " + command + "; exit 3 failed with Error " + err.substr(0, 64 * 1024) ||
            lines != std::list<std::string>{"kept"})
            return where + "failing command";
    }
    return "";
}

TEST(StressRunner, EightThreadsRunHundredsOfCommandsWithMegabytesOnBothStreams)
{
    testsupport::QuietLogWriter quiet;
    LogWriter* const previous = g_ptrLogWriter;
    g_ptrLogWriter = &quiet;
    const int fdsBefore = testsupport::OpenFdCount();
    std::vector<std::string> failures(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 100 && failures[t].empty(); ++i) failures[t] = RunOne(t, i);
        });
    for (auto& thread : threads) thread.join();
    g_ptrLogWriter = previous;
    for (const std::string& failure : failures) EXPECT_EQ(failure, "");
    EXPECT_EQ(fdsBefore, testsupport::OpenFdCount()) << "descriptors leaked";
}

}  // namespace
