// Spawning, watching and ending shell commands: see ChildProcess.h.
#include "ChildProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>

extern char** environ;

namespace common {
namespace {

// The descriptors of the reporting shell (kReporter) beyond 0, 1 and 2: the
// status report, the command's standard error, and the pipe whose end says
// that the caller is gone.
constexpr int kStatusFd = 3;
constexpr int kCommandErrorFd = 4;
constexpr int kCallerFd = 5;

// Run instead of the command's shell when the status is reported: it runs
// the command's shell as "sh -c command" would run, in the foreground (so
// with default signal dispositions: its own are the defaults), with its
// standard error on descriptor 4 and none of 3, 4 and 5, and writes its
// status ($?: the exit status, or 128+N after signal N) on descriptor 3.
// With a second argument a watching shell beside it waits for the end of
// descriptor 5, which comes when the caller closes its end or ends, and then
// kills the process group; once the command has ended it is killed first.
// The reporting shell's own standard error is /dev/null, so that its notes on
// a command ended by a signal stay out of the command's errors. The name "sh"
// makes $0 what "sh -c command" gives.
constexpr char kReporter[] =
    "if [ -n \"$2\" ]; then { read x <&5; kill -KILL 0; } >/dev/null 3>&- 4>&- & w=$!; fi\n"
    "(exec /bin/sh -c \"$1\" sh 2>&4 3>&- 4>&- 5<&-); s=$?\n"
    "if [ -n \"$2\" ]; then kill -KILL $w; fi\n"
    "echo $s >&3\n";

// Owners of posix_spawn's two setup objects.
class SpawnSetup {
public:
    SpawnSetup()
    {
        m_actionsOk = posix_spawn_file_actions_init(&m_actions) == 0;
        m_attributesOk = posix_spawnattr_init(&m_attributes) == 0;
    }
    ~SpawnSetup()
    {
        if (m_actionsOk) posix_spawn_file_actions_destroy(&m_actions);
        if (m_attributesOk) posix_spawnattr_destroy(&m_attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    bool Ok() const { return m_actionsOk && m_attributesOk; }
    posix_spawn_file_actions_t* Actions() { return &m_actions; }
    posix_spawnattr_t* Attributes() { return &m_attributes; }

private:
    posix_spawn_file_actions_t m_actions;
    posix_spawnattr_t m_attributes;
    bool m_actionsOk = false;
    bool m_attributesOk = false;
};

// The status the reporting shell wrote: one number from 0 to 255 and a line
// end. -1 when there is none.
int ReportedStatus(const std::string& report)
{
    if (report.size() < 2 || report.back() != '\n') return -1;
    int status = -1;
    const char* end = report.data() + report.size() - 1;
    const auto [stop, error] = std::from_chars(report.data(), end, status);
    if (error != std::errc() || stop != end || status < 0 || status > 255) return -1;
    return status;
}

// The inode of a pipe end, or 0.
ino_t PipeInode(int fd)
{
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return 0;
    return st.st_ino;
}

// Kills, with SIGKILL, every other process that has a descriptor of the pipe
// with inode out or err ("pipe:[<inode>]" among its /proc/<pid>/fd links):
// the processes of a command that keep its output open, also after leaving
// its process group.
void KillPipeHolders(ino_t out, ino_t err)
{
    if (out == 0 && err == 0) return;
    char wanted[2][40];
    snprintf(wanted[0], sizeof wanted[0], "pipe:[%llu]", static_cast<unsigned long long>(out));
    snprintf(wanted[1], sizeof wanted[1], "pipe:[%llu]", static_cast<unsigned long long>(err));
    DIR* proc = ::opendir("/proc");
    if (!proc) return;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(proc)) {
        pid_t pid = 0;
        const char* name = entry->d_name;
        const auto [stop, error] = std::from_chars(name, name + strlen(name), pid);
        if (error != std::errc() || *stop != '\0' || pid <= 0 || pid == self) continue;
        char fdDir[64];
        snprintf(fdDir, sizeof fdDir, "/proc/%d/fd", pid);
        DIR* fds = ::opendir(fdDir);
        if (!fds) continue;  // gone, or not ours to look at
        bool holds = false;
        while (const dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.') continue;
            char link[PATH_MAX], target[64];
            snprintf(link, sizeof link, "%s/%s", fdDir, fd->d_name);
            const ssize_t n = ::readlink(link, target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            if ((out && strcmp(target, wanted[0]) == 0) || (err && strcmp(target, wanted[1]) == 0)) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (holds) ::kill(pid, SIGKILL);
    }
    ::closedir(proc);
}

}  // namespace

long long MonotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

long long DeadlineAfter(long long ms)
{
    const long long now = MonotonicMs();
    if (ms <= 0) return now;
    // One more: the milliseconds of now are cut, and a deadline must not
    // come before its time.
    return ms >= LLONG_MAX - now ? LLONG_MAX : now + ms + 1;
}

int PollTimeout(long long deadline)
{
    if (deadline < 0) return -1;
    const long long left = deadline - MonotonicMs();
    if (left <= 0) return 0;
    constexpr long long kDay = 24LL * 3600 * 1000;
    return static_cast<int>(left < kDay ? left : kDay);
}

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

bool ChildrenReapedByKernel()
{
    struct sigaction current {};
    if (::sigaction(SIGCHLD, nullptr, &current) != 0) return false;
    return current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0;
}

long ReadOnce(int fd, std::string* sink, size_t keep)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        if (sink && sink->size() < keep)
            sink->append(buffer, std::min(static_cast<size_t>(n), keep - sink->size()));
        return n;
    }
}

int ChildProcess::Start(const char* command, const Options& options, const char*& what)
{
    Kill();
    m_report.clear();
    m_reaped = false;
    m_statusValue = -1;
    m_waitError = 0;
    // Read once: a caller that starts ignoring SIGCHLD while the command runs
    // loses its status (-1), never gets a success.
    m_reporting = options.reportStatus || options.endWithCaller || ChildrenReapedByKernel();
    const bool watching = options.endWithCaller;
    // The first descriptor the child does not get from us.
    const int firstFree = watching ? kCallerFd + 1 : m_reporting ? kCallerFd : STDERR_FILENO + 1;

    UniqueFd outWrite, errWrite, statusWrite, callerRead;
    what = "pipe2";
    if (int e = MakePipe(m_out, outWrite, firstFree)) return e;
    if (int e = MakePipe(m_err, errWrite, firstFree)) return m_out.Reset(), e;
    if (m_reporting) {
        if (int e = MakePipe(m_status, statusWrite, firstFree)) return m_out.Reset(), m_err.Reset(), e;
    }
    if (watching) {
        if (int e = MakePipe(callerRead, m_life, firstFree))
            return m_out.Reset(), m_err.Reset(), m_status.Reset(), e;
    }
    const auto fail = [&](int e) {
        m_out.Reset();
        m_err.Reset();
        m_status.Reset();
        m_life.Reset();
        return e;
    };
    what = "fcntl(O_NONBLOCK)";
    if (options.nonBlocking) {
        for (const UniqueFd* end : {&m_out, &m_err, &m_status})
            if (end->Valid() && ::fcntl(end->Get(), F_SETFL, O_NONBLOCK) != 0) return fail(errno);
    }

    SpawnSetup setup;
    what = "posix_spawn setup";
    if (!setup.Ok()) return fail(ENOMEM);
    posix_spawn_file_actions_t* actions = setup.Actions();
    int e = posix_spawn_file_actions_addopen(actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!e) e = posix_spawn_file_actions_adddup2(actions, outWrite.Get(), STDOUT_FILENO);
    if (m_reporting) {
        if (!e) e = posix_spawn_file_actions_addopen(actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (!e) e = posix_spawn_file_actions_adddup2(actions, statusWrite.Get(), kStatusFd);
        if (!e) e = posix_spawn_file_actions_adddup2(actions, errWrite.Get(), kCommandErrorFd);
        if (!e && watching) e = posix_spawn_file_actions_adddup2(actions, callerRead.Get(), kCallerFd);
    } else if (!e) {
        e = posix_spawn_file_actions_adddup2(actions, errWrite.Get(), STDERR_FILENO);
    }
    // Whatever the caller left open without close-on-exec stays out of the child.
    if (!e) e = posix_spawn_file_actions_addclosefrom_np(actions, firstFree);
    // A new session (no controlling terminal, a process group of its own to
    // kill), no blocked signals and default dispositions, whatever the
    // caller set for itself.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    if (!e)
        e = posix_spawnattr_setflags(setup.Attributes(),
                                     POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (!e) e = posix_spawnattr_setsigmask(setup.Attributes(), &none);
    if (!e) e = posix_spawnattr_setsigdefault(setup.Attributes(), &all);
    if (e) return fail(e);

    char shell[] = "/bin/sh";
    char name[] = "sh";
    char dashC[] = "-c";
    char watch[] = "watch";
    char* const text = const_cast<char*>(command);
    char* direct[] = {name, dashC, text, nullptr};
    char* reported[] = {name, dashC, const_cast<char*>(kReporter), name, text, watching ? watch : nullptr, nullptr};
    what = "posix_spawn(/bin/sh)";
    pid_t pid = -1;
    e = posix_spawn(&pid, shell, actions, setup.Attributes(), m_reporting ? reported : direct, environ);
    if (e) return fail(e);
    m_pid = pid;
    return 0;
}

bool ChildProcess::ReadStatusReport()
{
    while (m_status.Valid() && m_report.find('\n') == std::string::npos) {
        const long n = ReadOnce(m_status.Get(), &m_report, 64);
        if (n == -EAGAIN) return false;
        // The end (or an error): the reporting shell has written all it will.
        if (n <= 0) break;
    }
    m_status.Reset();
    m_statusValue = ReportedStatus(m_report);
    return true;
}

bool ChildProcess::Ended()
{
    if (m_pid <= 0 || m_reaped) return true;
    if (m_reporting) return !m_status.Valid() || ReadStatusReport();
    // Looked at without reaping: the zombie keeps its pid, and so its process
    // group's id, from being used again before Kill or Reap.
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        m_waitError = errno;
        return errno != EINTR;
    }
    if (info.si_pid != m_pid) return false;
    m_statusValue = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    return true;
}

bool ChildProcess::WaitEnded(long long deadline)
{
    if (m_reporting) {
        while (m_status.Valid()) {
            pollfd fd{m_status.Get(), POLLIN, 0};
            const int ready = ::poll(&fd, 1, PollTimeout(deadline));
            if (ready > 0) {
                ReadStatusReport();
                continue;
            }
            if (ready == 0 || errno != EINTR) return false;
        }
        return true;
    }
    // A pidfd becomes readable when the process ends; without one (an old
    // kernel) look again every 10 ms.
    // (Through syscall: Debian 12's <sys/pidfd.h> declares pidfd_open
    // without C linkage for C++.)
    const UniqueFd process(m_pid > 0 && !m_reaped ? static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0)) : -1);
    while (!Ended()) {
        const int timeout = PollTimeout(deadline);
        if (timeout == 0) return false;
        pollfd fd{process.Get(), POLLIN, 0};
        if (process.Valid())
            ::poll(&fd, 1, timeout);
        else
            ::poll(nullptr, 0, timeout < 0 || timeout > 10 ? 10 : timeout);
    }
    return true;
}

void ChildProcess::Reap()
{
    if (m_pid <= 0 || m_reaped) return;
    int status = 0;
    pid_t done;
    while ((done = ::waitpid(m_pid, &status, 0)) < 0 && errno == EINTR) {
    }
    m_reaped = true;
    if (done < 0) {
        m_waitError = errno;
        return;
    }
    // A reporting shell that exits without a report could not run the
    // command (it could not fork, say, or was killed): its own exit status is
    // not the command's.
    if (m_reporting) return;
    m_statusValue = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

std::string ChildProcess::LostStatusReason() const
{
    if (m_statusValue >= 0) return "";
    if (m_reporting) return "the exit status is lost: the shell that reports it ended without a report";
    const std::string call = "waitpid(" + std::to_string(m_pid) + "): ";
    if (m_waitError == ECHILD)
        return call + "No child processes (the exit status is lost: the process ignores SIGCHLD)";
    if (m_waitError) return call + strerror(m_waitError);
    return "the command has not ended";
}

void ChildProcess::Kill()
{
    if (m_pid <= 0) return;
    // Until it is reaped the child's pid cannot name another process group.
    if (!m_reaped) ::kill(-m_pid, SIGKILL);
    KillPipeHolders(PipeInode(m_out.Get()), PipeInode(m_err.Get()));
    m_out.Reset();
    m_err.Reset();
    m_status.Reset();
    m_life.Reset();
    Reap();
    m_pid = -1;
}

}  // namespace common
