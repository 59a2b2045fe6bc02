// The stand-in's watcher of a file system ("lustre-sim watch"), which logs
// what happens to the files as changelog records, the way a metadata server
// logs the operations it serves. On a cluster the server does that by
// itself; the demo runs against the stand-in and starts the watcher around
// the file activity it wants to see in the changelog.
#pragma once
#include <string>

namespace demo {

// Runs a command with /bin/sh; false, with the command, its exit status and
// its error output in why, when it fails.
bool StandInCommand(const std::string& command, std::string& why);

// Stopped on every path: a watcher must not outlive the demo.
class StandInWatcher {
public:
    explicit StandInWatcher(std::string fsName) : m_fs(std::move(fsName)) {}
    ~StandInWatcher();
    StandInWatcher(const StandInWatcher&) = delete;
    StandInWatcher& operator=(const StandInWatcher&) = delete;

    // Returns once the watcher runs: what is done to the files afterwards is
    // logged.
    bool Start(std::string& why);
    // Returns once the records of everything done before are written.
    bool Flush(std::string& why);
    // Returns once the records of everything done before are written and
    // the watcher has ended.
    bool Stop(std::string& why);

private:
    std::string m_fs;
    bool m_running = false;
};

}  // namespace demo
