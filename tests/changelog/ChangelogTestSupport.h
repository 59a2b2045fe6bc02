// Shared pieces of the changelog tests: the operations' function texts, and
// fake lctl/lfs/ssh tools that record their arguments and print canned text
// through the real shell.
#pragma once
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "HBError.h"
#include "LogWriter.h"
#include "TestSupport.h"

namespace changelog_test {

// Pretty-function texts that the operations' log lines and errors carry.
extern const char kRunCommandFunction[];
extern const char kGetChangelogsFunction[];
extern const char kGetMDTListFunction[];
extern const char kRegisterFunction[];
extern const char kDeRegisterFunction[];
extern const char kCurrentIndexFunction[];
extern const char kStartAndEndFunction[];

using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::ReadLines;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;
using RecordingLogWriter = testsupport::CapturingLogWriter;

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
