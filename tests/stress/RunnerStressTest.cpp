// Many threads running many commands at once, with large output on both
// streams, through the host's runner and through RunCommand.
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KxUtils.h"
#include "LustreAPI.h"
#include "Pattern.h"
#include "TestSupport.h"
#include "ZqLib.h"

namespace {

// LUSTREAPI_STRESS_COMMANDS (per thread) lets a local run go longer.
int CommandsPerThread() {
    int n = 200;
    if (const char* text = std::getenv("LUSTREAPI_STRESS_COMMANDS")) {
        const char* end = text + std::strlen(text);
        int value = 0;
        if (std::from_chars(text, end, value).ptr == end && value > 0) n = value;
    }
    return n;
}

std::string Join(const std::list<std::string>& lines) {
    std::string text;
    for (auto it = lines.begin(); it != lines.end(); ++it) {
        if (it != lines.begin()) text += '\n';
        text += *it;
    }
    return text;
}

class Mismatches {
public:
    void Add(const std::string& what) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count++ < 5) m_first.push_back(what);
    }
    int Count() const { return m_count; }
    std::string First() const {
        std::string text;
        for (const auto& s : m_first) text += s + "\n";
        return text;
    }

private:
    std::mutex m_mutex;
    int m_count = 0;
    std::vector<std::string> m_first;
};

// One command of thread t, number i: three ways of running it in turn, each
// checking every byte that comes back.
void RunOne(int t, int i, Mismatches& bad) {
    stress::Rng rng(static_cast<uint64_t>(t) * 100003 + static_cast<uint64_t>(i));
    const bool big = i % 25 == 7;
    const size_t outBytes = big ? (2u << 20) : 1 + rng.Next() % 70000;
    const size_t errBytes = big ? (2u << 20) : rng.Next() % 70000;
    const uint64_t start = rng.Next() % 1000000;
    const std::string cmd = std::string(STRESS_EMITTER) + " " + std::to_string(outBytes) + " " +
                            std::to_string(errBytes) + " " + std::to_string(start);
    const std::string where = "thread " + std::to_string(t) + " command " + std::to_string(i) + ": ";
    const std::string wantOut = stress::Pattern(start, outBytes);
    const std::string wantErr = stress::Pattern(start + 1, errBytes);

    switch (i % 3) {
    case 0: {
        std::string out, err;
        const int rc = ZqProcess::system(cmd.c_str(), &out, &err, 0, false);
        if (rc != 0) bad.Add(where + "status " + std::to_string(rc) + " " + err.substr(0, 200));
        if (out != wantOut) bad.Add(where + "standard output differs");
        if (err != wantErr) bad.Add(where + "standard error differs");
        break;
    }
    case 1: {
        std::list<std::string> lines;
        const CKxError e = LustreAPI::RunCommand(cmd, lines);
        if (e.Failed()) bad.Add(where + "RunCommand failed");
        else if (Join(lines) != wantOut) bad.Add(where + "lines differ from the output");
        break;
    }
    default: {
        // A failing command: its whole standard error comes back in the message.
        std::list<std::string> lines{"kept"};
        const std::string failing = cmd + "; exit 3";
        const CKxError e = LustreAPI::RunCommand(failing, lines);
        const auto messages = e.GetMessages();
        if (!e.Failed() || messages.empty()) bad.Add(where + "a failing command succeeded");
        else if (messages.back() != "Command " + failing + " failed with Error " + wantErr)
            bad.Add(where + "error text differs");
        if (lines != std::list<std::string>{"kept"}) bad.Add(where + "lines touched on failure");
    }
    }
}

class QuietLog : public LogWriter {
public:
    int GetLevel() override { return -1; }
    void Log(int, const char*, int, int, int, const char*, ...) override {}
};

TEST(StressRunner, EightThreadsRunHundredsOfCommandsWithMegabytesOnBothStreams) {
    QuietLog quiet;
    LogWriter* const previous = g_ptrLogWriter;
    g_ptrLogWriter = &quiet;
    const int fdsBefore = testsupport::OpenFdCount();
    const int perThread = CommandsPerThread();
    Mismatches bad;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, perThread, &bad] {
            for (int i = 0; i < perThread; ++i) RunOne(t, i, bad);
        });
    for (auto& th : threads) th.join();
    g_ptrLogWriter = previous;
    EXPECT_EQ(0, bad.Count()) << bad.First();
    EXPECT_EQ(fdsBefore, testsupport::OpenFdCount()) << "descriptors leaked";
}

}  // namespace
