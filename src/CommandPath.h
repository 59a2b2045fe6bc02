// The one path of every command the library runs: a checked command line,
// run under a time limit, its failure logged and made into the error that the
// operation returns. Operations build their line and read the output; a new
// rule for running, logging or refusing is made here once.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <list>
#include <string>

#include "ChildProcess.h"
#include "HBError.h"

// The location of the statement in the operation whose function text is
// function: operations with a time-limit overload share one body and keep
// each overload's own function text in their log lines and errors.
#define LAPI_AT(function) (HBCodeLocation{"LustreAPI", function, __LINE__})

namespace LustreAPI {

enum class EmptyOutput {
    Allowed,  // a command that prints nothing has succeeded
    Fails,    // a command that prints nothing has failed, as one that exits non-zero
};

// Runs command, whose values the caller has checked, with /bin/sh on this
// node, and waits at most limit (0: without a limit). On success returns an
// empty error with the command's standard output in output (appended).
// Otherwise logs one level-0 line at function and returns a failure (774)
// with the same text:
//   "Command <command> failed with Error <its standard error>"  (a non-zero
//       status, or no output where that fails; the first 64 KiB of standard
//       error);
//   "Command <command> was ended: it did not finish within its time limit of
//       <N> ms"  (the runner killed its process group and every process
//       still holding its output; nothing it printed is kept);
//   "Command <command> was ended: it had ended, but its output was still
//       open when its time limit of <N> ms passed"  (a process it started
//       kept the output; killed as above).
CKxError RunChecked(const char* function, const std::string& command, std::chrono::milliseconds limit, EmptyOutput rule,
                    std::string& output);

// The line that runs remote on host over ssh as user: "ssh user@host
// 'remote'" without a limit; with one, ssh is also told never to ask
// anything and to give up on a server that does not answer within it.
std::string RemoteCommandLine(const std::string& user, const std::string& host, const std::string& remote,
                              std::chrono::milliseconds limit);

// RunCommand(command, lines) without a limit, RunCommand(command, lines,
// limit) with one: the operations that read a listing return its failure
// unchanged, as RunCommand itself makes it.
CKxError RunListing(const std::string& command, std::chrono::milliseconds limit, std::list<std::string>& lines);

// RunListing of a remote command; when it fails, first logs failure (at
// function) and "Check whether keyless ssh is enabled for the user <user> on
// the host <host>".
CKxError RunRemoteListing(const char* function, const std::string& user, const std::string& host,
                          const std::string& remote, std::chrono::milliseconds limit, const std::string& failure,
                          std::list<std::string>& lines);

// Lists mdd.<mdt>.changelog_users on host over ssh as user, the listing
// that the index and reader operations read. Values unsafe on a command line
// are refused at function before anything runs; a failed command is logged
// as RunRemoteListing logs it, with failure as its first line.
CKxError ReadChangelogUsers(const char* function, const std::string& host, const std::string& mdt,
                            const std::string& user, std::chrono::milliseconds limit, const std::string& failure,
                            std::list<std::string>& lines);

// The error of a changelog_users listing that cannot be parsed.
CKxError ChangelogUsersParseError(const HBCodeLocation& where);

// The standard error a failure message carries: its first 64 KiB.
std::string ErrorsForMessage(const std::string& errors);

// A command whose standard output is read as it comes, for a command that
// may print without end (lfs changelog --follow): spawned as every command is
// (common/ChildProcess.h: /bin/sh -c, /dev/null as standard input, a new
// session, none of our descriptors), with non-blocking pipes, its exit status
// reported on a pipe (so it is known also where the host ignores SIGCHLD),
// and its process group killed when this process ends. Nothing here waits:
// the owner polls the descriptors of PollFds. Standard error is kept (the
// first 64 KiB) for the failure message. Close kills the command's process
// group and whatever still holds its output, and reaps it; so does the
// destructor.
class CommandStream {
public:
    enum class Read { Data, Nothing, End };

    CommandStream() = default;
    ~CommandStream() { Close(); }
    CommandStream(const CommandStream&) = delete;
    CommandStream& operator=(const CommandStream&) = delete;

    // Starts command, whose values the caller has checked; logs and fails
    // (774) at function when it cannot be started.
    CKxError Start(const char* function, const std::string& command);
    bool Started() const { return m_child.Started(); }
    const std::string& Command() const { return m_command; }
    // The descriptors that become readable when ReadOutput or Ended has
    // something new: the output until its end, standard error until its end,
    // the status report until it came. Returns how many were put in fds.
    int PollFds(int (&fds)[3]) const;
    // Appends what standard output holds now to out, without waiting; End
    // once the output has ended. Keeps what standard error holds and reads
    // the status report when it came. errno text in failure when reading
    // fails (End is then returned).
    Read ReadOutput(std::string& out, std::string& failure);
    // Whether the command itself has ended (its status came), whatever the
    // processes it started do with its output and standard error. Never
    // waits.
    bool Ended();
    // Once Ended: ends what the command left running, reaps it, and returns
    // an empty error when it exited with status 0, otherwise "Command
    // <command> failed with Error <its standard error>", logged at function.
    CKxError Finish(const char* function);
    // Kills the command's process group and reaps it, when still running.
    void Close();

private:
    void DrainErrors();

    std::string m_command;
    std::string m_errors;
    common::ChildProcess m_child;
};

}  // namespace LustreAPI
