// Shell-command runner of the host.
#pragma once
#include <string>

#define ZQ_API __attribute__((visibility("default")))

class ZQ_API ZqProcess {
public:
    // Runs command with /bin/sh -c and waits for it. Returns 0 exactly when the
    // command exited with status 0; otherwise non-zero: 1..255 the exit status,
    // 128+N killed by signal N, -1 could not be started or waited for (errno
    // text in *errors), -2 time limit reached (the whole process group was
    // killed). output and errors (may be null) receive standard output and
    // standard error byte for byte, appended.
    // The child gets /dev/null as standard input, a new session (no controlling
    // terminal) and no descriptor of the caller beyond 0, 1 and 2.
    // timeoutMs: 0 for none. flag: unused.
    // Thread-safe; never copies the caller's address space (posix_spawn).
    static int system(const char* command, std::string* output, std::string* errors, int timeoutMs, bool flag);
};
