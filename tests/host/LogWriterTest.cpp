// The default log writer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LogWriter.h"

namespace {

// Sends standard error to a temporary file while alive; Text() reads it.
class StderrCapture {
public:
    StderrCapture() {
        char name[] = "/tmp/kxlogXXXXXX";
        m_file = mkstemp(name);
        m_path = name;
        m_saved = dup(STDERR_FILENO);
        dup2(m_file, STDERR_FILENO);
    }
    ~StderrCapture() {
        Restore();
        close(m_file);
        unlink(m_path.c_str());
    }
    void Restore() {
        if (m_saved < 0) return;
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
        m_saved = -1;
    }
    std::string Text() const {
        std::ifstream in(m_path);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

private:
    int m_file = -1;
    int m_saved = -1;
    std::string m_path;
};

// Restores the default writer's level after a test changes it.
struct LevelGuard {
    ~LevelGuard() { g_ptrLogWriter->SetLevel(0); }
};

TEST(LogWriter, LineHasTimeLevelFunctionLineAndMessage) {
    StderrCapture capture;
    g_ptrLogWriter->Log(0, "int main()", 42, 0, 0, "Registered %s on %s", "cl1", "lustre-MDT0000");
    capture.Restore();
    EXPECT_THAT(capture.Text(),
                testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z "
                                      "\\[0\\] int main\\(\\):42 Registered cl1 on lustre-MDT0000\n"));
}

TEST(LogWriter, WritesOnlyLevelsUpToItsOwn) {
    LevelGuard guard;
    StderrCapture capture;
    g_ptrLogWriter->SetLevel(-1);
    EXPECT_EQ(g_ptrLogWriter->GetLevel(), -1);
    g_ptrLogWriter->Log(0, "f", 1, 0, 0, "hidden");
    g_ptrLogWriter->Log(-1, "f", 2, 0, 0, "shown");
    g_ptrLogWriter->SetLevel(2);
    g_ptrLogWriter->Log(2, "f", 3, 0, 0, "verbose");
    g_ptrLogWriter->Log(3, "f", 4, 0, 0, "too verbose");
    capture.Restore();
    const std::string text = capture.Text();
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_EQ(text.find("too verbose"), std::string::npos);
    EXPECT_NE(text.find("[-1] f:2 shown\n"), std::string::npos);
    EXPECT_NE(text.find("[2] f:3 verbose\n"), std::string::npos);
}

// Long lines (beyond what one pipe write keeps together) from 8 threads stay whole.
TEST(LogWriter, LinesOfThreadsNeverInterleave) {
    constexpr int kThreads = 8;
    constexpr int kLines = 100;
    StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            const std::string body(10000, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) g_ptrLogWriter->Log(0, "worker", t, 0, 0, "%s", body.c_str());
        });
    for (std::thread& thread : threads) thread.join();
    capture.Restore();
    std::istringstream lines(capture.Text());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        const size_t start = line.find("worker:");
        ASSERT_NE(start, std::string::npos);
        const int t = line[start + 7] - '0';
        ASSERT_EQ(line.substr(start + 9), std::string(10000, static_cast<char>('a' + t))) << "line " << count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
