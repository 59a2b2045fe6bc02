// The shell-command runner, run for real.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "ZqProcess.h"

namespace {

const char kPrefix[] = "ZqProcess::system: ";

using testsupport::OpenFdCount;

std::string Numbers(int from, int to) {
    std::string text;
    const int step = from <= to ? 1 : -1;
    for (int i = from;; i += step) {
        text += std::to_string(i) + '\n';
        if (i == to) break;
    }
    return text;
}

// True when pid has ended: gone, or a zombie left for a parent (or a pid 1)
// that does not reap it.
bool Ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return true;
    const size_t close = text.rfind(')');
    return close != std::string::npos && text.compare(close, 4, ") Z ") == 0;
}

bool ProcessGone(pid_t pid) {
    // Up to 10 s for the killed process to end.
    for (int i = 0; i < 1000; ++i) {
        if (Ended(pid)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Several megabytes on both streams at once: a runner that reads one stream to
// its end before the other deadlocks here.
TEST(ZqProcess, MegabytesOnBothStreamsAtOnce) {
    std::string output, errors;
    const int fdsBefore = OpenFdCount();
    const int status = ZqProcess::system("seq 1 700000 & seq 600000 -1 1 >&2; wait", &output, &errors, 0, false);
    EXPECT_EQ(status, 0) << errors.substr(0, 200);
    const std::string expectedOut = Numbers(1, 700000);
    const std::string expectedErr = Numbers(600000, 1);
    ASSERT_GT(expectedOut.size(), 4u << 20);
    EXPECT_TRUE(output == expectedOut) << "stdout differs, " << output.size() << " bytes";
    EXPECT_TRUE(errors == expectedErr) << "stderr differs, " << errors.size() << " bytes";
    EXPECT_EQ(OpenFdCount(), fdsBefore);
}

TEST(ZqProcess, BytesAsWrittenAndAppended) {
    std::string output = "before|", errors;
    EXPECT_EQ(ZqProcess::system("printf 'no line end'; printf 'a\\0b' >&2", &output, &errors, 0, false), 0);
    EXPECT_EQ(output, "before|no line end");
    EXPECT_EQ(errors, std::string("a\0b", 3));
    output.clear();
    EXPECT_EQ(ZqProcess::system("f=$(mktemp) && echo 'a  b' > \"$f\" && cat \"$f\" && rm \"$f\"", &output, nullptr,
                                0, false),
              0);
    EXPECT_EQ(output, "a  b\n");
    EXPECT_EQ(ZqProcess::system("echo discarded; echo discarded >&2", nullptr, nullptr, 0, false), 0);
}

TEST(ZqProcess, StatusOfEachOutcome) {
    struct Row {
        const char* command;
        int status;
    } rows[] = {
        {"true", 0},
        {"exit 3", 3},
        {"exit 255", 255},
        {"kill -TERM $$", 128 + SIGTERM},
        {"kill -KILL $$", 128 + SIGKILL},
        {"sh -c 'kill -SEGV $$'", 128 + SIGSEGV},
        {"/nonexistent/program", 127},
        {"", 0},
    };
    for (const Row& row : rows) {
        std::string output, errors;
        EXPECT_EQ(ZqProcess::system(row.command, &output, &errors, 0, false), row.status) << row.command;
    }
}

TEST(ZqProcess, ProgramThatCannotBeFoundIsReportedByTheShell) {
    std::string errors;
    EXPECT_EQ(ZqProcess::system("kx-no-such-program", nullptr, &errors, 0, false), 127);
    EXPECT_NE(errors.find("kx-no-such-program"), std::string::npos) << errors;
    EXPECT_NE(errors.find("not found"), std::string::npos) << errors;
}

TEST(ZqProcess, NullCommandIsAnError) {
    std::string errors = "x";
    EXPECT_EQ(ZqProcess::system(nullptr, nullptr, &errors, 0, false), -1);
    EXPECT_EQ(errors, std::string("x\n") + kPrefix + "no command given\n");
}

// The time limit kills the whole process group: the background sleep too.
TEST(ZqProcess, TimeLimitKillsTheProcessGroup) {
    std::string output, errors;
    const int status = ZqProcess::system("sleep 60 & echo $$ $!; wait", &output, &errors, 300, false);
    EXPECT_EQ(status, -2);
    std::istringstream pids(output);
    pid_t shell = 0, sleeper = 0;
    ASSERT_TRUE(pids >> shell >> sleeper) << output;
    EXPECT_EQ(errors, std::string(kPrefix) + "time limit of 300 ms reached, process group " + std::to_string(shell) +
                          " killed\n");
    EXPECT_TRUE(ProcessGone(shell));
    EXPECT_TRUE(ProcessGone(sleeper));
}

// A command that closed both streams and hangs is still stopped by the limit.
TEST(ZqProcess, TimeLimitAfterTheStreamsClosed) {
    std::string errors;
    EXPECT_EQ(ZqProcess::system("exec >&- 2>&-; sleep 60", nullptr, &errors, 300, false), -2);
    EXPECT_NE(errors.find("time limit of 300 ms reached"), std::string::npos) << errors;
}

// A host ignoring SIGCHLD makes the kernel reap our child itself; a shell of
// ours that runs the command still reports its status. Only a status that is
// truly lost (that shell killed) comes back as -1, never as a success.
TEST(ZqProcess, HostIgnoringSigchld) {
    struct Row {
        const char* command;
        int timeoutMs;
        int status;
        const char* output;
        const char* errors;  // a part of them
    } rows[] = {
        {"echo partial; exit 0", 0, 0, "partial\n", ""},
        {"echo partial; echo why >&2; exit 3", 0, 3, "partial\n", "why\n"},
        {"echo partial; kill -TERM $$", 0, 128 + SIGTERM, "partial\n", ""},
        {"echo partial; sleep 10", 300, -2, "partial\n", "time limit of 300 ms reached"},
        {"echo partial; kill -KILL $PPID", 0, -1, "partial\n", "the exit status is lost"},
        {"echo $0 $#; ls /proc/$$/fd", 0, 0, "sh 0\n0\n1\n2\n", ""},
    };
    struct sigaction ignore {}, saved{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGCHLD, &ignore, &saved), 0);
    for (const Row& row : rows) {
        std::string output, errors;
        EXPECT_EQ(ZqProcess::system(row.command, &output, &errors, row.timeoutMs, false), row.status) << row.command;
        EXPECT_EQ(output, row.output) << row.command;
        EXPECT_NE(errors.find(row.errors), std::string::npos) << row.command << ": " << errors;
    }
    sigaction(SIGCHLD, &saved, nullptr);
}

// A descriptor the host left without close-on-exec, and our own pipes, stay
// out of the child: it sees 0, 1 and 2 only.
TEST(ZqProcess, NoDescriptorOfTheHostInTheChild) {
    const int leaky = open("/dev/null", O_RDONLY);  // no O_CLOEXEC on purpose
    ASSERT_GE(leaky, 0);
    std::string output, errors;
    const int status = ZqProcess::system("ls /proc/$$/fd", &output, &errors, 0, false);
    close(leaky);
    EXPECT_EQ(status, 0) << errors;
    EXPECT_EQ(output, "0\n1\n2\n");
}

TEST(ZqProcess, NoTerminalNewSessionAndNullInput) {
    // The test's own input is a pipe holding a line, so that a child that
    // inherited it would read that line (under CI the input is /dev/null
    // already, and a child reading it would pass unnoticed).
    int hostInput[2];
    ASSERT_EQ(pipe(hostInput), 0);
    ASSERT_EQ(write(hostInput[1], "host input\n", 11), 11);
    close(hostInput[1]);
    const int savedInput = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(hostInput[0], STDIN_FILENO), STDIN_FILENO);
    close(hostInput[0]);
    struct RestoreInput {
        int saved;
        ~RestoreInput() {
            dup2(saved, STDIN_FILENO);
            close(saved);
        }
    } restore{savedInput};

    std::string output, errors;
    EXPECT_EQ(ZqProcess::system("tty", &output, &errors, 0, false), 1);
    EXPECT_EQ(output, "not a tty\n");
    output.clear();
    // Fields 6 and 7 of stat: session id and controlling terminal (0: none).
    EXPECT_EQ(ZqProcess::system("echo $$ $(cut -d' ' -f6,7 /proc/$$/stat) $(readlink /proc/$$/fd/0); cat", &output,
                                &errors, 0, false),
              0);
    std::istringstream fields(output);
    std::string pid, session, terminal, input, rest;
    ASSERT_TRUE(fields >> pid >> session >> terminal >> input) << output;
    EXPECT_EQ(session, pid);
    EXPECT_EQ(terminal, "0");
    EXPECT_EQ(input, "/dev/null");
    EXPECT_FALSE(fields >> rest) << "cat read something: " << rest;
    output.clear();
    EXPECT_NE(ZqProcess::system("exec 3</dev/tty && echo terminal", &output, nullptr, 0, false), 0);
    EXPECT_EQ(output, "");
}

// Blocked and ignored signals of the host are not passed on to the child.
TEST(ZqProcess, ChildGetsDefaultSignals) {
    struct sigaction ignore {}, saved{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &ignore, &saved), 0);
    sigset_t block, oldMask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &oldMask), 0);
    std::string output;
    const int ignored = ZqProcess::system("kill -USR1 $$; echo survived", &output, nullptr, 0, false);
    const int blocked = ZqProcess::system("kill -USR2 $$; echo survived", &output, nullptr, 0, false);
    std::string mask;
    ZqProcess::system("exec grep SigBlk /proc/self/status", &mask, nullptr, 0, false);
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_EQ(ignored, 128 + SIGUSR1);
    EXPECT_EQ(blocked, 128 + SIGUSR2);
    EXPECT_EQ(output, "");
    EXPECT_EQ(mask, "SigBlk:\t0000000000000000\n");
}

}  // namespace
