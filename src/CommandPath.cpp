#include "CommandPath.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "ArgumentChecks.h"
#include "Diagnostics.h"
#include "KxUtils.h"
#include "LustreAPI.h"
#include "ZqLib.h"

namespace LustreAPI {
namespace {

// What ZqProcess::system returns when the time limit passed: before the
// command ended, or after it ended while a process it started kept its
// output open.
constexpr int kTimeLimitReached = -2;
constexpr int kOutputHeldAtTimeLimit = -3;

constexpr std::size_t kKeptErrors = 64 * 1024;

}  // namespace

CKxError RunChecked(const char* function, const std::string& command, std::chrono::milliseconds limit, EmptyOutput rule,
                    std::string& output)
{
    // A negative limit is most likely a deadline already passed: never
    // taken as "no limit".
    if (limit.count() < 0)
        return RefusalError(LAPI_AT(function), "Command %s is refused: its time limit of %lld ms is negative",
                            command.c_str(), static_cast<long long>(limit.count()));
    const long long limitMs = limit.count();
    // The runner takes an int of milliseconds; a longer limit is as good as
    // none for a command (24 days).
    const int runnerLimit = static_cast<int>(std::min<long long>(limitMs, INT_MAX));
    std::string printed;
    std::string errors;
    const int status = ZqProcess::system(command.c_str(), &printed, &errors, runnerLimit, false);
    if ((status == kTimeLimitReached || status == kOutputHeldAtTimeLimit) && limitMs > 0) {
        const std::string text =
            status == kTimeLimitReached
                ? HBString::Format("Command %s was ended: it did not finish within its time limit of %lld ms",
                                   command.c_str(), limitMs)
                : HBString::Format("Command %s was ended: it had ended, but its output was still open when its "
                                   "time limit of %lld ms passed",
                                   command.c_str(), limitMs);
        LogLine(LAPI_AT(function), "%s", text.c_str());
        return TimeLimitError(LAPI_AT(function), "%s", text.c_str());
    }
    if (status != 0 || (rule == EmptyOutput::Fails && printed.empty())) {
        const std::string kept = ErrorsForMessage(errors);
        LogLine(LAPI_AT(function), "Command %s failed with Error %s", command.c_str(), kept.c_str());
        return CommandError(LAPI_AT(function), "Command %s failed with Error %s", command.c_str(), kept.c_str());
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

std::string ErrorsForMessage(const std::string& errors) { return errors.substr(0, kKeptErrors); }

CKxError CommandStream::Start(const char* function, const std::string& command)
{
    Close();
    m_command = command;
    m_errors.clear();
    common::ChildProcess::Options options;
    options.reportStatus = true;
    options.endWithCaller = true;
    options.nonBlocking = true;
    const char* what = "";
    if (const int e = m_child.Start(command.c_str(), options, what)) {
        LogLine(LAPI_AT(function), "Command %s could not be started: %s: %s", command.c_str(), what, strerror(e));
        return CommandError(LAPI_AT(function), "Command %s could not be started: %s: %s", command.c_str(), what,
                            strerror(e));
    }
    return CKxError();
}

int CommandStream::PollFds(int (&fds)[3]) const
{
    int count = 0;
    for (const int fd : {m_child.OutputFd(), m_child.ErrorFd(), m_child.StatusFd()})
        if (fd >= 0) fds[count++] = fd;
    return count;
}

void CommandStream::DrainErrors()
{
    while (m_child.ErrorFd() >= 0) {
        const long n = common::ReadOnce(m_child.ErrorFd(), &m_errors, kKeptErrors);
        if (n == -EAGAIN) return;
        // Its end (or a failure to read it): never polled again.
        if (n <= 0) m_child.CloseErrors();
    }
}

CommandStream::Read CommandStream::ReadOutput(std::string& out, std::string& failure)
{
    DrainErrors();
    if (m_child.StatusFd() >= 0) m_child.ReadStatusReport();
    if (m_child.OutputFd() < 0) return Read::End;
    const long n = common::ReadOnce(m_child.OutputFd(), &out, SIZE_MAX);
    if (n > 0) return Read::Data;
    if (n == -EAGAIN) return Read::Nothing;
    if (n < 0) failure = strerror(static_cast<int>(-n));
    m_child.CloseOutput();
    return Read::End;
}

bool CommandStream::Ended() { return !m_child.Started() || m_child.Ended(); }

CKxError CommandStream::Finish(const char* function)
{
    // What the command wrote on standard error before it ended is in the
    // pipe already; a process it left behind may hold the pipe open, and is
    // not waited for.
    DrainErrors();
    const int status = m_child.Status();
    const std::string lost = m_child.LostStatusReason();
    m_child.Kill();
    if (status == 0) return CKxError();
    const std::string errors = lost.empty() ? m_errors : m_errors + lost + "\n";
    LogLine(LAPI_AT(function), "Command %s failed with Error %s", m_command.c_str(), errors.c_str());
    return CommandError(LAPI_AT(function), "Command %s failed with Error %s", m_command.c_str(), errors.c_str());
}

void CommandStream::Close() { m_child.Kill(); }

}  // namespace LustreAPI
