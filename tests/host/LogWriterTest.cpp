// The default log writer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LogWriter.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(LogWriter, LineHasTimeLevelFunctionLineAndMessageUpToItsLevel)
{
    CaptureStderr();
    g_ptrLogWriter->Log(0, "int main()", 42, 0, 0, "Registered %s on %s", "cl1", "lustre-MDT0000");
    g_ptrLogWriter->SetLevel(-1);
    const int level = g_ptrLogWriter->GetLevel();
    g_ptrLogWriter->Log(0, "f", 1, 0, 0, "hidden");
    g_ptrLogWriter->Log(-1, "f", 2, 0, 0, "shown");
    g_ptrLogWriter->SetLevel(2);
    g_ptrLogWriter->Log(2, "f", 3, 0, 0, "verbose");
    g_ptrLogWriter->Log(3, "f", 4, 0, 0, "too verbose");
    g_ptrLogWriter->SetLevel(0);
    EXPECT_EQ(level, -1);
    EXPECT_THAT(GetCapturedStderr(),
                testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z "
                                      "\\[0\\] int main\\(\\):42 Registered cl1 on lustre-MDT0000\n"
                                      "[^\n]*Z \\[-1\\] f:2 shown\n[^\n]*Z \\[2\\] f:3 verbose\n"));
}

// Long lines (beyond what one pipe write keeps together) from 8 threads stay whole.
TEST(LogWriter, LinesOfThreadsNeverInterleave)
{
    CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            const std::string body(10000, static_cast<char>('a' + t));
            for (int i = 0; i < 100; ++i) g_ptrLogWriter->Log(0, "worker", t, 0, 0, "%s", body.c_str());
        });
    for (std::thread& thread : threads) thread.join();
    std::istringstream lines(GetCapturedStderr());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        const size_t start = line.find("worker:");
        ASSERT_NE(start, std::string::npos);
        ASSERT_EQ(line.substr(start + 9), std::string(10000, static_cast<char>('a' + line[start + 7] - '0')))
            << "line " << count;
    }
    EXPECT_EQ(count, 800);
}

}  // namespace
