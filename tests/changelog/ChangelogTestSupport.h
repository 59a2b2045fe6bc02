// Shared pieces of the changelog tests: a log writer that records what the
// library asks and writes, a temporary directory, and fake lctl/lfs/ssh
// tools that record their arguments and print canned text through the real
// shell.
#pragma once
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "HBError.h"
#include "LogWriter.h"

namespace changelog_test {

// Pretty-function texts that the operations' log lines and errors carry.
extern const char kRunCommandFunction[];
extern const char kGetChangelogsFunction[];
extern const char kGetMDTListFunction[];
extern const char kRegisterFunction[];
extern const char kDeRegisterFunction[];
extern const char kCurrentIndexFunction[];
extern const char kStartAndEndFunction[];

// Records every GetLevel() call and every written line, in order. The levels
// it answers come from a queue (then the last one repeats), so a test can
// disable a single line of a pair.
class RecordingLogWriter : public LogWriter {
public:
    struct Line {
        int level;
        std::string function;
        std::string text;
    };

    RecordingLogWriter();
    ~RecordingLogWriter() override;

    int GetLevel() override;
    void Log(int level, const char* function, int line, int, int, const char* format, ...) override
        __attribute__((format(printf, 7, 8)));

    void AnswerLevels(std::vector<int> levels) { m_levels = std::move(levels); }

    std::vector<Line> lines;
    // "level?" for each GetLevel() call, "log:<text>" for each line, in order.
    std::vector<std::string> events;
    std::vector<std::string> Texts() const;

private:
    std::vector<int> m_levels{0};
    std::size_t m_asked = 0;
    LogWriter* m_previous;
};

// A fresh directory under TMPDIR (or /tmp), removed with its content.
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

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool Exists(const std::string& path);

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

// Fake lctl, lfs and ssh first on PATH. Each appends one line to argv.log:
// its name and each argument in brackets, "ssh [root@mds1] [lctl ...]".
// lctl and lfs print <tool>.err to standard error and <tool>.out to standard
// output when they exist and exit with the number in <tool>.rc (0 without).
// ssh refuses the login ("USER@HOST: Permission denied (publickey).", 255)
// when ssh.refuse exists; otherwise it runs its remaining arguments, joined
// with blanks, with /bin/sh -c as OpenSSH's server side does.
class FakeTools {
public:
    FakeTools();
    void SetOutput(const std::string& tool, const std::string& out, const std::string& err = "", int rc = 0);
    void RefuseLogin();
    // The recorded invocations, one per line; empty when nothing ran.
    std::vector<std::string> Invocations() const;
    const TempDir& dir() const { return m_dir; }

private:
    TempDir m_dir;
    ScopedEnv m_path;
};

// Compares a failed error whole: code from Win32 774, one message, made in
// the given function of the file LustreAPI.
::testing::AssertionResult IsError774(const CKxError& error, const std::string& message, const char* function);

}  // namespace changelog_test
