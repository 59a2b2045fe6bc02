// The shell-command runner, run for real. (Megabytes on both streams from
// many threads at once: tests/stress.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DataFiles.h"
#include "ZqProcess.h"

namespace {

// True when pid has ended within a minute: gone, or a zombie left for a parent
// (or a pid 1) that does not reap it.
bool ProcessGone(pid_t pid)
{
    for (int i = 0; i < 6000; ++i) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        if (!std::getline(stat, text) || text.find(") Z ") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The commands of data/commands.txt, from a host whose input is a pipe
// holding a line (so that a child reading it would be noticed), with a
// descriptor without close-on-exec, SIGUSR1 ignored and SIGUSR2 blocked.
TEST(ZqProcess, OutcomesInAHostileHost)
{
    int hostInput[2];
    ASSERT_EQ(pipe(hostInput), 0);
    ASSERT_EQ(write(hostInput[1], "host input\n", 11), 11);
    close(hostInput[1]);
    const int savedInput = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(hostInput[0], STDIN_FILENO), STDIN_FILENO);
    close(hostInput[0]);
    const int leaky = open("/dev/null", O_RDONLY);  // no O_CLOEXEC on purpose
    struct sigaction ignore {
    }, savedUsr1{}, savedChld{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGUSR1, &ignore, &savedUsr1);
    sigset_t block, oldMask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &block, &oldMask);
    for (const testsupport::DataRow& row : testsupport::ReadRows(HOST_DATA_DIR "/commands.txt")) {
        const bool sigchld = row.fields.at(1) == "sigchld";
        if (sigchld) sigaction(SIGCHLD, &ignore, &savedChld);
        std::string output, errors;
        const int status =
            ZqProcess::system(row.fields[0].c_str(), &output, &errors, std::stoi(row.fields.at(2)), false);
        EXPECT_EQ(std::to_string(status) + " [" + output + "]", row.expected) << row.line;
        EXPECT_NE(errors.find(row.fields.at(3)), std::string::npos) << row.line << ": " << errors;
        if (sigchld) sigaction(SIGCHLD, &savedChld, nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGUSR1, &savedUsr1, nullptr);
    close(leaky);
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
}

TEST(ZqProcess, NullCommandIsAnErrorAndOutputsMayBeDiscarded)
{
    std::string errors = "x";
    EXPECT_EQ(ZqProcess::system(nullptr, nullptr, &errors, 0, false), -1);
    EXPECT_EQ(errors, "x\nZqProcess::system: no command given\n");
    EXPECT_EQ(ZqProcess::system("echo discarded; echo discarded >&2", nullptr, nullptr, 0, false), 0);
}

// The time limit kills the whole process group (the background sleep too),
// and a daemon of its own session that keeps the output open; the outcome
// tells a command that had ended from one that had not. Each command prints
// the pids to look for, its shell's (the process group's) first.
TEST(ZqProcess, TimeLimitKillsTheGroupAndWhatKeepsTheOutput)
{
    const struct {
        const char* command;
        int status;
        std::string error;  // the line's text after the process group
    } cases[] = {
        {"echo $$ $!; wait", -2, " killed\n"},
        {"echo $$; exec sleep 60", -2, " killed\n"},
        {"setsid sleep 60 & echo $$ $!", -3, " and every process holding the output killed\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        std::string output, errors;
        const std::string command = std::string("sleep 60 & ") + c.command;
        EXPECT_EQ(ZqProcess::system(command.c_str(), &output, &errors, 300, false), c.status);
        std::istringstream pids(output);
        std::vector<pid_t> started;
        for (pid_t pid; pids >> pid;) started.push_back(pid);
        ASSERT_FALSE(started.empty()) << output;
        const std::string group = "process group " + std::to_string(started.front());
        EXPECT_EQ(errors, c.status == -2 ? "ZqProcess::system: time limit of 300 ms reached, " + group + c.error
                                         : "ZqProcess::system: the command ended with status 0, but its output was "
                                           "still open when the time limit of 300 ms passed; " +
                                               group + c.error);
        for (const pid_t pid : started) EXPECT_TRUE(ProcessGone(pid)) << pid;
    }
}

// A daemon: standard descriptors closed and SIGCHLD ignored. The runner's
// pipes then come out of pipe2() at 0 to 5, where the reporting shell's
// descriptors go; they must be moved above them. Run in a child process,
// which reports on a pipe of its own.
TEST(ZqProcess, HostWithoutStandardDescriptors)
{
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int out = fcntl(report[1], F_DUPFD, 10);
        for (int fd = 0; fd < 10; ++fd) close(fd);
        signal(SIGCHLD, SIG_IGN);  // the runner's reporting shell, with its extra pipe
        std::string output, errors;
        const int status = ZqProcess::system("echo out; echo err >&2", &output, &errors, 0, false);
        const std::string text = std::to_string(status) + " [" + output + "] [" + errors + "]";
        _exit(write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(report[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(text, "0 [out\n] [err\n]");
}

}  // namespace
