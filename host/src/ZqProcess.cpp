// Runs a shell command and collects its standard output and standard error.
#include "ZqProcess.h"

#include <poll.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "ChildProcess.h"

namespace {

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

// Reads standard output, standard error and the status report until all
// three have ended or the deadline passes, polling them together so that
// none can fill up while we wait on another. Returns 0, ETIMEDOUT, or the
// errno of a failed poll or read.
int Drain(common::ChildProcess& child, std::string* output, std::string* errors, long long deadline)
{
    for (;;) {
        pollfd fds[3];
        nfds_t count = 0;
        for (const int fd : {child.OutputFd(), child.ErrorFd(), child.StatusFd()})
            if (fd >= 0) fds[count++] = pollfd{fd, POLLIN, 0};
        if (count == 0) return 0;
        const int timeout = common::PollTimeout(deadline);
        if (timeout == 0) return ETIMEDOUT;
        const int ready = ::poll(fds, count, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == child.StatusFd()) {
                child.ReadStatusReport();
                continue;
            }
            // POLLHUP and POLLERR also end in read(): 0 at end of file.
            const bool isOutput = fds[i].fd == child.OutputFd();
            const long got = common::ReadOnce(fds[i].fd, isOutput ? output : errors, SIZE_MAX);
            if (got == -EAGAIN) continue;
            if (got < 0) return static_cast<int>(-got);
            if (got == 0) isOutput ? child.CloseOutput() : child.CloseErrors();
        }
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

    common::ChildProcess child;
    common::ChildProcess::Options options;
    options.nonBlocking = true;
    const char* what = "";
    if (int e = child.Start(command, options, what)) return Fail(errors, what, e);

    const long long deadline = timeoutMs > 0 ? common::DeadlineAfter(timeoutMs) : -1;
    int drained = Drain(child, output, errors, deadline);
    // Both pipes have ended: the shell may still run (it closed them).
    if (drained == 0 && !child.WaitEnded(deadline)) drained = ETIMEDOUT;
    const pid_t group = child.Pid();
    if (drained == ETIMEDOUT) {
        // A command that ended while a process it started keeps its output
        // open is told apart from one that did not end.
        const bool ended = child.Ended();
        const int status = child.Status();
        child.Kill();
        if (ended) {
            Report(errors, "the command ended with status " + std::to_string(status) +
                               ", but its output was still open when the time limit of " +
                               std::to_string(timeoutMs) + " ms passed; process group " + std::to_string(group) +
                               " and every process holding the output killed");
            return -3;
        }
        Report(errors, "time limit of " + std::to_string(timeoutMs) + " ms reached, process group " +
                           std::to_string(group) + " killed");
        return -2;
    }
    if (drained) {
        // Reading failed; do not leave the child behind.
        child.Kill();
        return Fail(errors, "reading the command's output", drained);
    }
    child.Reap();
    if (child.Status() >= 0) return child.Status();
    Report(errors, child.LostStatusReason());
    return -1;
}
