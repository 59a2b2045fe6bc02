#include "CommandPath.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "ArgumentChecks.h"
#include "Diagnostics.h"
#include "KxUtils.h"
#include "LustreAPI.h"
#include "ZqLib.h"

extern char** environ;

namespace LustreAPI {
namespace {

// What ZqProcess::system returns when the time limit passed.
constexpr int kTimeLimitReached = -2;

constexpr std::size_t kKeptErrors = 64 * 1024;

// A non-blocking pipe, both ends close-on-exec and above the standard
// descriptors (a host that closed them would otherwise get them here, and the
// child's dup2 could overwrite an end still to be duplicated).
int MakePipe(common::UniqueFd& readEnd, common::UniqueFd& writeEnd)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    common::UniqueFd ends[2] = {common::UniqueFd(fds[0]), common::UniqueFd(fds[1])};
    for (common::UniqueFd& end : ends) {
        if (end.Get() > STDERR_FILENO) continue;
        const int moved = ::fcntl(end.Get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0) return errno;
        end.Reset(moved);
    }
    if (::fcntl(ends[0].Get(), F_SETFL, O_NONBLOCK) != 0) return errno;
    readEnd = std::move(ends[0]);
    writeEnd = std::move(ends[1]);
    return 0;
}

// posix_spawn's attribute and file-action objects, destroyed with their owner.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool ok;
    SpawnSetup()
    {
        ok = posix_spawn_file_actions_init(&actions) == 0;
        if (ok && posix_spawnattr_init(&attributes) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            ok = false;
        }
    }
    ~SpawnSetup()
    {
        if (!ok) return;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

CKxError RunChecked(const char* function, const std::string& command, std::chrono::milliseconds limit, EmptyOutput rule,
                    std::string& output)
{
    // A negative limit is most likely a deadline already passed: never
    // taken as "no limit".
    if (limit.count() < 0)
        return CommandError(LAPI_AT(function), "Command %s is refused: its time limit of %lld ms is negative",
                            command.c_str(), static_cast<long long>(limit.count()));
    const long long limitMs = limit.count();
    // The runner takes an int of milliseconds; a longer limit is as good as
    // none for a command (24 days).
    const int runnerLimit = static_cast<int>(std::min<long long>(limitMs, INT_MAX));
    std::string printed;
    std::string errors;
    const int status = ZqProcess::system(command.c_str(), &printed, &errors, runnerLimit, false);
    if (status == kTimeLimitReached && limitMs > 0) {
        const std::string text = HBString::Format(
            "Command %s was ended: it did not finish within its time limit of %lld ms", command.c_str(), limitMs);
        LogLine(LAPI_AT(function), "%s", text.c_str());
        return CommandError(LAPI_AT(function), "%s", text.c_str());
    }
    if (status != 0 || (rule == EmptyOutput::Fails && printed.empty())) {
        LogLine(LAPI_AT(function), "Command %s failed with Error %s", command.c_str(), errors.c_str());
        return CommandError(LAPI_AT(function), "Command %s failed with Error %s", command.c_str(), errors.c_str());
    }
    output += printed;
    return CKxError();
}

std::string RemoteCommandLine(const std::string& user, const std::string& host, const std::string& remote,
                              std::chrono::milliseconds limit)
{
    if (limit.count() <= 0) return HBString::Format("ssh %s@%s '%s'", user.c_str(), host.c_str(), remote.c_str());
    // Whole seconds, at least one: ssh connects within the limit, and gives
    // up on a connected server that stays silent for two thirds of it.
    const long long seconds = std::max<long long>(1, (limit.count() + 999) / 1000);
    const long long aliveInterval = std::max<long long>(1, seconds / 3);
    return HBString::Format(
        "ssh -o BatchMode=yes -o ConnectTimeout=%lld -o ServerAliveInterval=%lld -o ServerAliveCountMax=2 %s@%s '%s'",
        seconds, aliveInterval, user.c_str(), host.c_str(), remote.c_str());
}

CKxError RunListing(const std::string& command, std::chrono::milliseconds limit, std::list<std::string>& lines)
{
    return limit.count() > 0 ? RunCommand(command, lines, limit) : RunCommand(command, lines);
}

CKxError RunRemoteListing(const char* function, const std::string& user, const std::string& host,
                          const std::string& remote, std::chrono::milliseconds limit, const std::string& failure,
                          std::list<std::string>& lines)
{
    CKxError error = RunListing(RemoteCommandLine(user, host, remote, limit), limit, lines);
    if (error.Failed()) {
        LogLine(LAPI_AT(function), "%s", failure.c_str());
        LogLine(LAPI_AT(function), "Check whether keyless ssh is enabled for the user %s on the host %s", user.c_str(),
                host.c_str());
    }
    return error;
}

CKxError ReadChangelogUsers(const char* function, const std::string& host, const std::string& mdt,
                            const std::string& user, std::chrono::milliseconds limit, const std::string& failure,
                            std::list<std::string>& lines)
{
    CKxError refused = CheckCommandArguments(LAPI_AT(function), {{"host", host, ArgumentKind::Login, false},
                                                                 {"MDT", mdt, ArgumentKind::Word, false},
                                                                 {"user", user, ArgumentKind::Login, false}});
    if (refused.Failed()) return refused;
    return RunRemoteListing(function, user, host,
                            HBString::Format("lctl get_param mdd.%s.changelog_users", mdt.c_str()), limit, failure,
                            lines);
}

CKxError ChangelogUsersParseError(const HBCodeLocation& where)
{
    return CommandError(where, "Cannot parse the output of this command lctl get_param mdd.MDT-name.changelog_users");
}

CKxError CommandStream::Start(const char* function, const std::string& command)
{
    Close();
    m_command = command;
    m_errors.clear();
    const auto fail = [&](const char* what, int e) {
        LogLine(LAPI_AT(function), "Command %s could not be started: %s: %s", command.c_str(), what, strerror(e));
        return CommandError(LAPI_AT(function), "Command %s could not be started: %s: %s", command.c_str(), what,
                            strerror(e));
    };
    common::UniqueFd outWrite, errWrite;
    if (int e = MakePipe(m_out, outWrite)) return fail("pipe2", e);
    if (int e = MakePipe(m_err, errWrite)) return fail("pipe2", e);
    SpawnSetup setup;
    if (!setup.ok) return fail("posix_spawn setup", ENOMEM);
    int e = posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!e) e = posix_spawn_file_actions_adddup2(&setup.actions, outWrite.Get(), STDOUT_FILENO);
    if (!e) e = posix_spawn_file_actions_adddup2(&setup.actions, errWrite.Get(), STDERR_FILENO);
    if (!e) e = posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    // A new session: no controlling terminal, and a process group of its
    // own to kill. No blocked signals and default dispositions, whatever the
    // host set for itself.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    if (!e)
        e = posix_spawnattr_setflags(&setup.attributes,
                                     POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (!e) e = posix_spawnattr_setsigmask(&setup.attributes, &none);
    if (!e) e = posix_spawnattr_setsigdefault(&setup.attributes, &all);
    if (e) return fail("posix_spawn setup", e);
    char shell[] = "/bin/sh";
    char name[] = "sh";
    char dashC[] = "-c";
    char* const argv[] = {name, dashC, const_cast<char*>(command.c_str()), nullptr};
    e = posix_spawn(&m_pid, shell, &setup.actions, &setup.attributes, argv, environ);
    if (e) {
        m_pid = -1;
        m_out.Reset();
        m_err.Reset();
        return fail("posix_spawn(/bin/sh)", e);
    }
    return CKxError();
}

void CommandStream::DrainErrors()
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_err.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        m_errors.append(buf,
                        std::min(static_cast<std::size_t>(n), kKeptErrors - std::min(kKeptErrors, m_errors.size())));
    }
}

CommandStream::Read CommandStream::ReadOutput(std::string& out, std::string& failure)
{
    DrainErrors();
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(m_out.Get(), buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
            return Read::Data;
        }
        if (n == 0) return Read::End;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Read::Nothing;
        failure = strerror(errno);
        return Read::End;
    }
}

CKxError CommandStream::Finish(const char* function)
{
    int status = 0;
    pid_t reaped;
    while ((reaped = ::waitpid(m_pid, &status, 0)) < 0 && errno == EINTR) {
    }
    // Where the kernel reaps our children (the host ignores SIGCHLD) the
    // status is lost: a command that wrote nothing on standard error passes.
    const bool known = reaped == m_pid;
    m_pid = -1;
    // What the command wrote on standard error before it ended.
    const int flags = ::fcntl(m_err.Get(), F_GETFL);
    if (flags >= 0 && ::fcntl(m_err.Get(), F_SETFL, flags & ~O_NONBLOCK) == 0) DrainErrors();
    m_out.Reset();
    m_err.Reset();
    if (known ? WIFEXITED(status) && WEXITSTATUS(status) == 0 : m_errors.empty()) return CKxError();
    LogLine(LAPI_AT(function), "Command %s failed with Error %s", m_command.c_str(), m_errors.c_str());
    return CommandError(LAPI_AT(function), "Command %s failed with Error %s", m_command.c_str(), m_errors.c_str());
}

void CommandStream::Close()
{
    if (m_pid > 0) {
        ::kill(-m_pid, SIGKILL);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
    m_out.Reset();
    m_err.Reset();
}

}  // namespace LustreAPI
