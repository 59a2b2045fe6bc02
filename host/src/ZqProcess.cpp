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
#include <charconv>
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
    ~SpawnActions()
    {
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
    ~SpawnAttributes()
    {
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

std::string ErrnoText(int errnum)
{
    char buffer[256];
    // GNU strerror_r: thread-safe, returns the text (maybe not in buffer).
    return strerror_r(errnum, buffer, sizeof buffer);
}

// Our own diagnostics go to errors on a line of their own after whatever the
// child wrote there.
void Report(std::string* errors, const std::string& text)
{
    if (!errors) return;
    if (!errors->empty() && errors->back() != '\n') *errors += '\n';
    *errors += "ZqProcess::system: ";
    *errors += text;
    *errors += '\n';
}

int Fail(std::string* errors, const std::string& what, int errnum)
{
    Report(errors, what + ": " + ErrnoText(errnum));
    return -1;
}

// The descriptors of the reporting shell (see kReporter) beyond 0, 1 and 2:
// the status report and the command's standard error.
constexpr int kStatusFd = 3;
constexpr int kCommandErrorFd = 4;
constexpr int kFirstFreeFd = 5;

// In a process whose children the kernel reaps itself (SIGCHLD ignored, or
// SA_NOCLDWAIT), waitpid cannot give our child's status. There posix_spawn
// starts this script instead of the command's shell: it runs the command's
// shell as "sh -c command" would be run, waits for it (its own signal
// dispositions are the defaults) and writes its status ($?: the exit status,
// or 128+N after signal N) on descriptor 3. The command's shell starts in a
// subshell with its standard error on descriptor 4 and neither 3 nor 4 open;
// the reporting shell's own standard error is /dev/null, so that its note
// on a command ended by a signal ("Killed") stays out of the command's
// errors. The name "sh" makes $0 what "sh -c command" gives.
constexpr char kReporter[] = "(exec /bin/sh -c \"$1\" sh 2>&4 3>&- 4>&-); echo $? >&3";

// True when the kernel reaps our children itself. The disposition is only
// read: another thread of the host may rely on it.
bool ChildrenReapedByKernel()
{
    struct sigaction current {};
    if (::sigaction(SIGCHLD, nullptr, &current) != 0) return false;
    return current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0;
}

// A pipe whose ends are both close-on-exec and at lowest or above, so that the
// child's dup2 onto the descriptors below can never overwrite an end still to
// be duplicated (a host that closed its standard descriptors would otherwise
// get them from pipe2).
int MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd, int lowest)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    UniqueFd ends[2] = {UniqueFd(fds[0]), UniqueFd(fds[1])};
    for (UniqueFd& end : ends) {
        if (end.Get() >= lowest) continue;
        const int moved = ::fcntl(end.Get(), F_DUPFD_CLOEXEC, lowest);
        if (moved < 0) return errno;
        end.Reset(moved);
    }
    readEnd = std::move(ends[0]);
    writeEnd = std::move(ends[1]);
    return 0;
}

long long NowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds until the deadline for poll: -1 without a deadline, 0 when passed.
int PollTimeout(long long deadline)
{
    if (deadline < 0) return -1;
    const long long left = deadline - NowMs();
    if (left <= 0) return 0;
    return left > 1000000 ? 1000000 : static_cast<int>(left);
}

// A pipe end read to end of file, and where its bytes go (may be null).
struct Stream {
    UniqueFd& read;
    std::string* sink;
};

// Reads every stream until all reach end of file or the deadline passes,
// polling them together so that none can fill up while we wait on another.
// Returns 0, ETIMEDOUT, or the errno of a failed poll or read.
template <size_t N>
int Drain(Stream (&streams)[N], long long deadline)
{
    char buffer[65536];
    for (;;) {
        pollfd fds[N];
        Stream* polled[N];
        nfds_t count = 0;
        for (Stream& stream : streams) {
            if (!stream.read.Valid()) continue;
            fds[count] = pollfd{stream.read.Get(), POLLIN, 0};
            polled[count++] = &stream;
        }
        if (count == 0) return 0;
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
                polled[i]->read.Reset();
                continue;
            }
            if (polled[i]->sink) polled[i]->sink->append(buffer, static_cast<size_t>(got));
        }
    }
}

// The status the reporting shell wrote: one number from 0 to 255 and a line
// end. -1 when there is none, as when that shell itself was killed.
int ReportedStatus(const std::string& report)
{
    if (report.size() < 2 || report.back() != '\n') return -1;
    int status = -1;
    const char* end = report.data() + report.size() - 1;
    const auto [stop, error] = std::from_chars(report.data(), end, status);
    if (error != std::errc() || stop != end || status < 0 || status > 255) return -1;
    return status;
}

// Waits for pid to end, up to the deadline (-1: none). Returns 0 with its
// status, ETIMEDOUT, or the errno of waitpid (ECHILD when the host ignores
// SIGCHLD and the kernel reaped the child itself).
int Reap(pid_t pid, int& status, long long deadline)
{
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
void KillGroup(pid_t pid)
{
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

int ZqProcess::system(const char* command, std::string* output, std::string* errors, int timeoutMs, bool)
{
    if (!command) {
        Report(errors, "no command given");
        return -1;
    }
    if (timeoutMs < 0) timeoutMs = 0;

    // Read once: a host that starts ignoring SIGCHLD while the command runs
    // gets -1 (the status is lost), never a success.
    const bool reporting = ChildrenReapedByKernel();

    // The first descriptor the child does not get from us.
    const int firstFree = reporting ? kFirstFreeFd : 3;

    UniqueFd outRead, outWrite, errRead, errWrite, statusRead, statusWrite;
    if (int e = MakePipe(outRead, outWrite, firstFree)) return Fail(errors, "pipe2", e);
    if (int e = MakePipe(errRead, errWrite, firstFree)) return Fail(errors, "pipe2", e);
    if (reporting) {
        if (int e = MakePipe(statusRead, statusWrite, firstFree)) return Fail(errors, "pipe2", e);
    }

    SpawnActions actions;
    SpawnAttributes attributes;
    if (!actions.Ok() || !attributes.Ok()) return Fail(errors, "posix_spawn setup", ENOMEM);
    int e = posix_spawn_file_actions_addopen(actions.Get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!e) e = posix_spawn_file_actions_adddup2(actions.Get(), outWrite.Get(), STDOUT_FILENO);
    if (reporting) {
        if (!e) e = posix_spawn_file_actions_addopen(actions.Get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (!e) e = posix_spawn_file_actions_adddup2(actions.Get(), statusWrite.Get(), kStatusFd);
        if (!e) e = posix_spawn_file_actions_adddup2(actions.Get(), errWrite.Get(), kCommandErrorFd);
    } else {
        if (!e) e = posix_spawn_file_actions_adddup2(actions.Get(), errWrite.Get(), STDERR_FILENO);
    }
    // Whatever the host left open without close-on-exec stays out of the child.
    if (!e) e = posix_spawn_file_actions_addclosefrom_np(actions.Get(), firstFree);
    if (e) return Fail(errors, "posix_spawn file actions", e);

    // A new session (no controlling terminal, its own process group to kill),
    // no blocked signals and default dispositions: a host may block or ignore
    // signals, and the child must not inherit that.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    e = posix_spawnattr_setflags(attributes.Get(), POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (!e) e = posix_spawnattr_setsigmask(attributes.Get(), &none);
    if (!e) e = posix_spawnattr_setsigdefault(attributes.Get(), &all);
    if (e) return Fail(errors, "posix_spawn attributes", e);

    char shell[] = "/bin/sh";
    char name[] = "sh";
    char dashC[] = "-c";
    char* const text = const_cast<char*>(command);
    char* direct[] = {name, dashC, text, nullptr};
    char* reported[] = {name, dashC, const_cast<char*>(kReporter), name, text, nullptr};
    pid_t pid = -1;
    e = posix_spawn(&pid, shell, actions.Get(), attributes.Get(), reporting ? reported : direct, environ);
    if (e) return Fail(errors, "posix_spawn(/bin/sh)", e);
    // Our copies of the write ends must go, or the pipes never reach end of file.
    outWrite.Reset();
    errWrite.Reset();
    statusWrite.Reset();

    const long long deadline = timeoutMs > 0 ? NowMs() + timeoutMs : -1;
    std::string report;
    Stream streams[] = {{outRead, output}, {errRead, errors}, {statusRead, &report}};
    const int drained = Drain(streams, deadline);
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
    if (reporting) {
        const int reported = ReportedStatus(report);
        if (reported >= 0) return reported;
    }
    if (reaped == ECHILD) {
        Report(errors, "waitpid(" + std::to_string(pid) +
                           "): No child processes (the exit status is lost: the process ignores SIGCHLD)");
        return -1;
    }
    if (reaped) return Fail(errors, "waitpid(" + std::to_string(pid) + ")", reaped);
    // A reporting shell that exits without a report could not run the
    // command (it could not fork, say): its exit status is not the command's.
    if (WIFEXITED(status) && !reporting) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    Report(errors, "unexpected wait status " + std::to_string(status));
    return -1;
}
