// What every test area needs: temporary directories, files, environment
// variables for a scope, a log writer that records, descriptor counting and
// running a command with its output captured.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "LogWriter.h"

namespace testsupport {

std::string ReadFile(const std::string& path);
// Writes content whole; throws when it cannot.
void WriteFile(const std::string& path, const std::string& content);
bool Exists(const std::string& path);
// The lines of a file, without their line ends.
std::vector<std::string> ReadLines(const std::string& path);

// Makes the process root of a user namespace of its own when it is not root,
// for what only root may do to the stand-in (the administrative HSM flags,
// as on Lustre). Single-threaded processes only. "" once the process is
// root, else why it cannot be.
std::string ActAsRoot();

// Where temporary files go: TMPDIR, or /tmp when it is unset or empty.
std::string TempBase();

// A fresh directory under TempBase(), its path resolved, removed with
// everything in it by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Sets an environment variable for the object's life.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    bool m_had;
    std::string m_old;
};

// A fresh stand-in state directory named by LUSTRE_SIM_STATE for the
// object's life: file system "lustre" with the given number of MDTs, mounted
// at <dir>/mnt/lustre, archives 1 to the given number at <dir>/archive<N>,
// and <dir>/outside, a directory outside every mount.
class StandInState {
public:
    explicit StandInState(int mdts = 1, int archives = 1);
    StandInState(const StandInState&) = delete;
    StandInState& operator=(const StandInState&) = delete;

    // Creates a file (and its directories) below the mount; returns its path.
    std::string WriteFile(const std::string& relative, const std::string& contents) const;
    std::string Archive(int id) const { return dir / ("archive" + std::to_string(id)); }

    TempDir dir;
    const std::string mount = dir / "mnt/lustre";
    const std::string archive = Archive(1);
    const std::string outside = dir / "outside";

private:
    ScopedEnv m_env{"LUSTRE_SIM_STATE", dir.path()};
};

// Logs nothing, from any thread.
class QuietLogWriter : public LogWriter {
public:
    int GetLevel() override { return -1; }
    void Log(int, const char*, int, int, int, const char*, ...) override {}
};

// Installs itself as g_ptrLogWriter for its life and records every line it
// is handed, whatever the level; GetLevel() answers level.
class CapturingLogWriter : public LogWriter {
public:
    struct Line {
        int level;
        std::string function;
        std::string text;
    };

    explicit CapturingLogWriter(int level = 0);
    ~CapturingLogWriter() override;
    CapturingLogWriter(const CapturingLogWriter&) = delete;
    CapturingLogWriter& operator=(const CapturingLogWriter&) = delete;

    int GetLevel() override;
    void Log(int level, const char* function, int line, int, int, const char* format, ...) override
        __attribute__((format(printf, 7, 8)));

    std::vector<std::string> Texts() const;

    std::vector<Line> lines;
    int levelQueries = 0;

private:
    int m_level;
    LogWriter* m_previous;
};
using LogLine = CapturingLogWriter::Line;

// Number of open descriptors of this process.
int OpenFdCount();

struct Outcome {
    std::string out;
    std::string err;
    int status = -1;  // the exit status, or 128 + the signal
};

// Runs argv[0] with standard input at /dev/null, the process environment
// with env's entries set over it (an empty value removes the variable), in
// directory cwd when given, and captures both output streams.
Outcome Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
            const std::string& cwd = "");
// Runs a /bin/sh command line the same way.
Outcome Shell(const std::string& command, const std::map<std::string, std::string>& env = {},
              const std::string& cwd = "");

}  // namespace testsupport
