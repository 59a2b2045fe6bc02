// The shell-command runner, run for real.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "ZqProcess.h"

namespace {

using testsupport::OpenFdCount;

std::string Numbers(int from, int to) {
    std::string text;
    for (int i = from;; i += from <= to ? 1 : -1) {
        text += std::to_string(i) + '\n';
        if (i == to) return text;
    }
}

// True when pid has ended within 10 s: gone, or a zombie left for a parent
// (or a pid 1) that does not reap it.
bool ProcessGone(pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        if (!std::getline(stat, text) || text.find(") Z ") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Several megabytes on both streams at once: a runner that reads one stream to
// its end before the other deadlocks here.
TEST(ZqProcess, MegabytesOnBothStreamsAtOnce) {
    std::string output = "before|", errors;
    const int fdsBefore = OpenFdCount();
    EXPECT_EQ(ZqProcess::system("seq 1 700000 & seq 600000 -1 1 >&2; wait", &output, &errors, 0, false), 0);
    EXPECT_TRUE(output == "before|" + Numbers(1, 700000)) << "stdout differs, " << output.size() << " bytes";
    EXPECT_TRUE(errors == Numbers(600000, 1)) << "stderr differs, " << errors.size() << " bytes";
    EXPECT_EQ(OpenFdCount(), fdsBefore);
}

// Each command with its time limit, status, output and a part of its errors,
// run from a host whose input is a pipe holding a line (so that a child
// reading it would be noticed), with a descriptor without close-on-exec,
// SIGUSR1 ignored and SIGUSR2 blocked; and where sigchld is set, with SIGCHLD
// ignored, so that the kernel reaps the runner's child itself: a shell of
// ours that runs the command still reports its status, and only a status
// that is truly lost (that shell killed) comes back as -1, never as success.
TEST(ZqProcess, OutcomesInAHostileHost) {
    const std::string limit = "time limit of 300 ms reached";
    const struct Row {
        const char* command;
        bool sigchld;
        int timeoutMs;
        int status;
        const char* output;
        std::string errors;
    } rows[] = {
        {"true", false, 0, 0, "", ""},
        {"", false, 0, 0, "", ""},
        {"printf 'no line end'; printf 'a\\0b' >&2", false, 0, 0, "no line end", std::string("a\0b", 3)},
        {"exit 3", false, 0, 3, "", ""},
        {"exit 255", false, 0, 255, "", ""},
        {"kill -TERM $$", false, 0, 128 + SIGTERM, "", ""},
        {"kill -KILL $$", false, 0, 128 + SIGKILL, "", ""},
        {"sh -c 'kill -SEGV $$'", false, 0, 128 + SIGSEGV, "", ""},
        {"/nonexistent/program", false, 0, 127, "", "/nonexistent/program"},
        {"kx-no-such-program", false, 0, 127, "", "kx-no-such-program: not found"},
        {"exec >&- 2>&-; sleep 60", false, 300, -2, "", limit},
        {"ls /proc/$$/fd", false, 0, 0, "0\n1\n2\n", ""},
        {"tty", false, 0, 1, "not a tty\n", ""},
        {"set -- $(cut -d' ' -f6,7 /proc/$$/stat); echo $(($1 == $$)) $2 $(readlink /proc/$$/fd/0); cat", false, 0,
         0, "1 0 /dev/null\n", ""},
        {"exec 3</dev/tty && echo terminal", false, 0, 2, "", "/dev/tty"},
        {"kill -USR1 $$; echo survived", false, 0, 128 + SIGUSR1, "", ""},
        {"kill -USR2 $$; echo survived", false, 0, 128 + SIGUSR2, "", ""},
        {"exec grep SigBlk /proc/self/status", false, 0, 0, "SigBlk:\t0000000000000000\n", ""},
        {"echo partial; exit 0", true, 0, 0, "partial\n", ""},
        {"echo partial; echo why >&2; exit 3", true, 0, 3, "partial\n", "why\n"},
        {"echo partial; kill -TERM $$", true, 0, 128 + SIGTERM, "partial\n", ""},
        {"echo partial; sleep 10", true, 300, -2, "partial\n", limit},
        {"echo partial; kill -KILL $PPID", true, 0, -1, "partial\n", "the exit status is lost"},
        {"echo $0 $#; ls /proc/$$/fd", true, 0, 0, "sh 0\n0\n1\n2\n", ""},
    };
    int hostInput[2];
    ASSERT_EQ(pipe(hostInput), 0);
    ASSERT_EQ(write(hostInput[1], "host input\n", 11), 11);
    close(hostInput[1]);
    const int savedInput = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(hostInput[0], STDIN_FILENO), STDIN_FILENO);
    close(hostInput[0]);
    const int leaky = open("/dev/null", O_RDONLY);  // no O_CLOEXEC on purpose
    struct sigaction ignore {}, savedUsr1{}, savedChld{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGUSR1, &ignore, &savedUsr1);
    sigset_t block, oldMask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &block, &oldMask);
    for (const Row& row : rows) {
        if (row.sigchld) sigaction(SIGCHLD, &ignore, &savedChld);
        std::string output, errors;
        EXPECT_EQ(ZqProcess::system(row.command, &output, &errors, row.timeoutMs, false), row.status) << row.command;
        EXPECT_EQ(output, row.output) << row.command;
        EXPECT_NE(errors.find(row.errors), std::string::npos) << row.command << ": " << errors;
        if (row.sigchld) sigaction(SIGCHLD, &savedChld, nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGUSR1, &savedUsr1, nullptr);
    close(leaky);
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
}

TEST(ZqProcess, NullCommandIsAnErrorAndOutputsMayBeDiscarded) {
    std::string errors = "x";
    EXPECT_EQ(ZqProcess::system(nullptr, nullptr, &errors, 0, false), -1);
    EXPECT_EQ(errors, "x\nZqProcess::system: no command given\n");
    EXPECT_EQ(ZqProcess::system("echo discarded; echo discarded >&2", nullptr, nullptr, 0, false), 0);
}

// The time limit kills the whole process group: the background sleep too.
TEST(ZqProcess, TimeLimitKillsTheProcessGroup) {
    std::string output, errors;
    EXPECT_EQ(ZqProcess::system("sleep 60 & echo $$ $!; wait", &output, &errors, 300, false), -2);
    std::istringstream pids(output);
    pid_t shell = 0, sleeper = 0;
    ASSERT_TRUE(pids >> shell >> sleeper) << output;
    EXPECT_EQ(errors, "ZqProcess::system: time limit of 300 ms reached, process group " + std::to_string(shell) +
                          " killed\n");
    EXPECT_TRUE(ProcessGone(shell));
    EXPECT_TRUE(ProcessGone(sleeper));
}

}  // namespace
