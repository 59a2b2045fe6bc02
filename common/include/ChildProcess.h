// The one way the tree runs a shell command: the host's process runner
// (host/src/ZqProcess.cpp) and the library's command streams
// (src/CommandPath.cpp) both start, watch, time and end their commands with
// what is here, so that a rule about spawning, exit statuses, time limits or
// ending a command is made once.
//
// A command runs as "/bin/sh -c command" with /dev/null as standard input, in
// a session of its own (no controlling terminal; its process group is its
// pid), with an empty signal mask, default signal dispositions and none of
// the caller's descriptors beyond its pipes. Nothing here changes the
// caller's signal dispositions, and nothing copies its address space
// (posix_spawn).
#pragma once
#include <sys/types.h>

#include <string>

#include "UniqueFd.h"

namespace common {

// CLOCK_MONOTONIC in milliseconds.
long long MonotonicMs();
// The deadline ms milliseconds from now (never before: up to a millisecond
// after), saturating instead of overflowing; now for ms <= 0.
long long DeadlineAfter(long long ms);
// poll()'s timeout until deadline: -1 for none (deadline < 0), 0 once it has
// passed, otherwise the milliseconds left (at most a day: a caller polls
// again after it).
int PollTimeout(long long deadline);

// A pipe with both ends close-on-exec and numbered lowest or above, so that
// a child's dup2 onto the descriptors below never overwrites an end still to
// be duplicated (a process that closed its standard descriptors would get
// them from pipe2). 0, or the errno of the failure.
int MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd, int lowest);

// True when the kernel reaps this process's children itself (SIGCHLD ignored,
// or SA_NOCLDWAIT): waitpid cannot give a child's status then. Only reads the
// disposition.
bool ChildrenReapedByKernel();

// One read() of fd (retried on EINTR), its bytes appended to sink (may be
// null: read and dropped) as long as sink holds fewer than keep bytes.
// Returns the number of bytes read, 0 at the end of fd, or -errno (-EAGAIN
// when a non-blocking fd holds nothing now).
long ReadOnce(int fd, std::string* sink, size_t keep);

// One command and its pipes; the destructor ends it (Kill).
class ChildProcess {
public:
    struct Options {
        // The command's exit status comes on a pipe (StatusFd) from a shell
        // that runs it, waits for it and reports: needed where the kernel
        // reaps the caller's children, and pollable everywhere.
        bool reportStatus = false;
        // The command's process group is killed when the calling process
        // ends, however it ends: a shell beside the command waits on a pipe
        // whose write end only the caller holds. Implies reportStatus.
        bool endWithCaller = false;
        // The read ends of the pipes are non-blocking.
        bool nonBlocking = false;
    };

    ChildProcess() = default;
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts command. 0, or the errno of the step that failed, which what
    // then names ("pipe2", "posix_spawn(/bin/sh)", ...); nothing is left
    // running after a failure.
    int Start(const char* command, const Options& options, const char*& what);
    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }

    // The read ends of standard output, standard error and the status
    // report (-1 when closed, or for the report when not reporting). Owned
    // here; CloseOutput and the like close one once its end was read.
    int OutputFd() const { return m_out.Get(); }
    int ErrorFd() const { return m_err.Get(); }
    int StatusFd() const { return m_status.Get(); }
    void CloseOutput() { m_out.Reset(); }
    void CloseErrors() { m_err.Reset(); }

    // Reads what the status pipe holds (waiting for it unless the pipes are
    // non-blocking). True once the report is complete or the pipe has ended;
    // the pipe is then closed and Status() holds the report's status.
    bool ReadStatusReport();
    // Whether the command's shell has ended: its report is complete, or
    // (without a report) waitpid finds it ended. Never waits.
    bool Ended();
    // Waits until Ended(), at most until deadline (-1: no limit); false when
    // the deadline passed first.
    bool WaitEnded(long long deadline);
    // Reaps the child, waiting for it to end; call once the command has
    // ended or been killed. Its status afterwards.
    void Reap();
    // The command's shell status: 0 to 255, 128 + N after signal N; -1 while
    // unknown (not ended or not reaped yet, or lost: the reporting shell was
    // killed, or the kernel reaped an unreported child). Valid after Reap,
    // or once ReadStatusReport returned true.
    int Status() const { return m_statusValue; }
    // Why the status is lost, for a message: "" when it is known.
    std::string LostStatusReason() const;

    // Kills the command's process group and every process that still holds
    // its standard output or standard error (a process that left the group
    // with setsid and keeps them), then reaps the child. Closes the pipes.
    // Does nothing when nothing was started.
    void Kill();

private:
    UniqueFd m_out;
    UniqueFd m_err;
    UniqueFd m_status;
    UniqueFd m_life;  // the write end of the pipe the watching shell waits on
    std::string m_report;
    pid_t m_pid = -1;
    bool m_reporting = false;
    bool m_reaped = false;
    int m_statusValue = -1;
    int m_waitError = 0;
};

}  // namespace common
