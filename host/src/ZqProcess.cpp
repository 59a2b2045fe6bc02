// Runs a shell command and collects its standard output and standard error.
#include "ZqProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "UniqueFd.h"

extern char** environ;

namespace {

using common::UniqueFd;

// Owners for the two spawn objects.
class SpawnActions {
public:
    SpawnActions() { m_ok = posix_spawn_file_actions_init(&m_actions) == 0; }
    ~SpawnActions() {
        if (m_ok) posix_spawn_file_actions_destroy(&m_actions);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    bool Ok() const { return m_ok; }
    posix_spawn_file_actions_t* Get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
    bool m_ok = false;
};

class SpawnAttributes {
public:
    SpawnAttributes() { m_ok = posix_spawnattr_init(&m_attributes) == 0; }
    ~SpawnAttributes() {
        if (m_ok) posix_spawnattr_destroy(&m_attributes);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool Ok() const { return m_ok; }
    posix_spawnattr_t* Get() { return &m_attributes; }

private:
    posix_spawnattr_t m_attributes;
    bool m_ok = false;
};

std::string ErrnoText(int errnum) {
    char buffer[256];
    // GNU strerror_r: thread-safe, returns the text (maybe not in buffer).
    return strerror_r(errnum, buffer, sizeof buffer);
}

// Our own diagnostics go to errors on a line of their own after whatever the
// child wrote there.
void Report(std::string* errors, const std::string& text) {
    if (!errors) return;
    if (!errors->empty() && errors->back() != '\n') *errors += '\n';
    *errors += "ZqProcess::system: ";
    *errors += text;
    *errors += '\n';
}

int Fail(std::string* errors, const std::string& what, int errnum) {
    Report(errors, what + ": " + ErrnoText(errnum));
    return -1;
}

// A pipe whose ends are both close-on-exec and above 2, so that the child's
// dup2 onto 1 and 2 can never overwrite an end still to be duplicated (a host
// that closed its standard descriptors would otherwise get them from pipe2).
int MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    UniqueFd ends[2] = {UniqueFd(fds[0]), UniqueFd(fds[1])};
    for (UniqueFd& end : ends) {
        if (end.Get() > 2) continue;
        const int moved = ::fcntl(end.Get(), F_DUPFD_CLOEXEC, 3);
        if (moved < 0) return errno;
        end.Reset(moved);
    }
    readEnd = std::move(ends[0]);
    writeEnd = std::move(ends[1]);
    return 0;
}

long long NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds until the deadline for poll: -1 without a deadline, 0 when passed.
int PollTimeout(long long deadline) {
    if (deadline < 0) return -1;
    const long long left = deadline - NowMs();
    if (left <= 0) return 0;
    return left > 1000000 ? 1000000 : static_cast<int>(left);
}

// Reads both pipes until both reach end of file or the deadline passes, polling
// them together so that neither can fill up while we wait on the other.
// Returns 0, ETIMEDOUT, or the errno of a failed poll or read.
int Drain(UniqueFd& outRead, UniqueFd& errRead, std::string* output, std::string* errors,
          long long deadline) {
    char buffer[65536];
    while (outRead.Valid() || errRead.Valid()) {
        pollfd fds[2];
        UniqueFd* owners[2];
        std::string* sinks[2];
        nfds_t count = 0;
        if (outRead.Valid()) {
            fds[count] = pollfd{outRead.Get(), POLLIN, 0};
            owners[count] = &outRead;
            sinks[count++] = output;
        }
        if (errRead.Valid()) {
            fds[count] = pollfd{errRead.Get(), POLLIN, 0};
            owners[count] = &errRead;
            sinks[count++] = errors;
        }
        const int timeout = PollTimeout(deadline);
        if (deadline >= 0 && timeout == 0) return ETIMEDOUT;
        const int ready = ::poll(fds, count, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            // POLLHUP and POLLERR also end in read(): 0 at end of file.
            ssize_t got;
            do {
                got = ::read(fds[i].fd, buffer, sizeof buffer);
            } while (got < 0 && errno == EINTR);
            if (got < 0) return errno;
            if (got == 0) {
                owners[i]->Reset();
                continue;
            }
            if (sinks[i]) sinks[i]->append(buffer, static_cast<size_t>(got));
        }
    }
    return 0;
}

// Waits for pid to end, up to the deadline (-1: none). Returns 0 with its
// status, ETIMEDOUT, or the errno of waitpid (ECHILD when the host ignores
// SIGCHLD and the kernel reaped the child itself).
int Reap(pid_t pid, int& status, long long deadline) {
    for (;;) {
        const int options = deadline < 0 ? 0 : WNOHANG;
        const pid_t done = ::waitpid(pid, &status, options);
        if (done == pid) return 0;
        if (done < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        // Still running; look again shortly, until the deadline.
        const int timeout = PollTimeout(deadline);
        if (timeout == 0) return ETIMEDOUT;
        ::poll(nullptr, 0, timeout < 10 ? timeout : 10);
    }
}

// After a timeout: kill the child's whole process group (the child leads its
// own session, so the group id is its pid) and reap the child.
void KillGroup(pid_t pid) {
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

int ZqProcess::system(const char* command, std::string* output, std::string* errors, int timeoutMs,
                      bool) {
    if (!command) {
        Report(errors, "no command given");
        return -1;
    }
    if (timeoutMs < 0) timeoutMs = 0;

    UniqueFd outRead, outWrite, errRead, errWrite;
    if (int e = MakePipe(outRead, outWrite)) return Fail(errors, "pipe2", e);
    if (int e = MakePipe(errRead, errWrite)) return Fail(errors, "pipe2", e);

    SpawnActions actions;
    SpawnAttributes attributes;
    if (!actions.Ok() || !attributes.Ok()) return Fail(errors, "posix_spawn setup", ENOMEM);
    int e = posix_spawn_file_actions_addopen(actions.Get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!e) e = posix_spawn_file_actions_adddup2(actions.Get(), outWrite.Get(), STDOUT_FILENO);
    if (!e) e = posix_spawn_file_actions_adddup2(actions.Get(), errWrite.Get(), STDERR_FILENO);
    // Whatever the host left open without close-on-exec stays out of the child.
    if (!e) e = posix_spawn_file_actions_addclosefrom_np(actions.Get(), 3);
    if (e) return Fail(errors, "posix_spawn file actions", e);

    // A new session (no controlling terminal, its own process group to kill),
    // no blocked signals and default dispositions: a host may block or ignore
    // signals, and the child must not inherit that.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    e = posix_spawnattr_setflags(attributes.Get(),
                                 POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (!e) e = posix_spawnattr_setsigmask(attributes.Get(), &none);
    if (!e) e = posix_spawnattr_setsigdefault(attributes.Get(), &all);
    if (e) return Fail(errors, "posix_spawn attributes", e);

    char shell[] = "/bin/sh";
    char name[] = "sh";
    char dashC[] = "-c";
    char* argv[] = {name, dashC, const_cast<char*>(command), nullptr};
    pid_t pid = -1;
    e = posix_spawn(&pid, shell, actions.Get(), attributes.Get(), argv, environ);
    if (e) return Fail(errors, "posix_spawn(/bin/sh)", e);
    // Our copies of the write ends must go, or the pipes never reach end of file.
    outWrite.Reset();
    errWrite.Reset();

    const long long deadline = timeoutMs > 0 ? NowMs() + timeoutMs : -1;
    const int drained = Drain(outRead, errRead, output, errors, deadline);
    int status = 0;
    int reaped = drained ? drained : Reap(pid, status, deadline);
    if (reaped == ETIMEDOUT) {
        KillGroup(pid);
        Report(errors, "time limit of " + std::to_string(timeoutMs) + " ms reached, process group " +
                           std::to_string(pid) + " killed");
        return -2;
    }
    if (drained) {
        // Reading failed; do not leave the child behind.
        KillGroup(pid);
        return Fail(errors, "reading the command's output", drained);
    }
    if (reaped == ECHILD) {
        Report(errors, "waitpid(" + std::to_string(pid) +
                           "): No child processes (the exit status is lost: the process ignores SIGCHLD)");
        return -1;
    }
    if (reaped) return Fail(errors, "waitpid(" + std::to_string(pid) + ")", reaped);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    Report(errors, "unexpected wait status " + std::to_string(status));
    return -1;
}
