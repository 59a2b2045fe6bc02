// Shell-command runner of the host.
#pragma once
#include <string>

#define ZQ_API __attribute__((visibility("default")))

class ZQ_API ZqProcess {
public:
    // Runs command with /bin/sh -c and waits for it. Returns:
    //    0       the command exited with status 0 (and only then);
    //    1..255  the command's non-zero exit status (127: sh could not find it);
    //    128+N   the shell was killed by signal N;
    //   -1       it could not be started, read or waited for, or its status
    //            cannot be known: never reported as success;
    //   -2       timeoutMs passed before the command ended;
    //   -3       the command ended, but a process it started still held its
    //            standard output or standard error when timeoutMs passed.
    //            For -2 and -3 the child's whole process group and every
    //            process still holding either stream (also one that left the
    //            group with setsid) were killed with SIGKILL, and the child
    //            reaped; a process that left the group and closed both
    //            streams is not looked for.
    // output and errors (each may be null) receive standard output and standard
    // error byte for byte, appended, however much either carries (both pipes are
    // drained together). For -1, -2 and -3 a line "ZqProcess::system: <reason>\n"
    // is appended to errors after what the child wrote there. Standard output
    // ends when every process holding it has closed it: a background process
    // that keeps it open keeps the call waiting (up to timeoutMs).
    // The child gets /dev/null as standard input, a new session (no controlling
    // terminal; its process group id is its pid), an empty signal mask, default
    // signal dispositions and no descriptor of the caller beyond 0, 1 and 2.
    // Where the kernel reaps the caller's children itself (SIGCHLD ignored, or
    // SA_NOCLDWAIT) the child is a /bin/sh that runs the command's shell as
    // its own child, under the same conditions, and reports its status on a
    // pipe: the status is known there too. Only when that report is missing
    // as well (that shell was killed) is the status lost: -1.
    // timeoutMs: 0 (or negative) for none. flag: unused.
    // Thread-safe, no shared state; never copies the caller's address space
    // (posix_spawn). Never changes the caller's signal dispositions.
    static int system(const char* command, std::string* output, std::string* errors, int timeoutMs, bool flag);
};
