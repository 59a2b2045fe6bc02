// Shared pieces of the changelog tests: the function texts that the
// operations' errors carry, and a whole comparison of their errors.
#pragma once
#include <string>

#include <gtest/gtest.h>

#include "HBError.h"
#include "TestSupport.h"

namespace changelog_test {

extern const char kRunCommandFunction[];
extern const char kStartAndEndFunction[];

using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::ReadLines;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;
using RecordingLogWriter = testsupport::CapturingLogWriter;

// A failure made from Win32 774 with exactly one message, made in the file
// LustreAPI; in function when one is given.
::testing::AssertionResult IsError774(const CKxError& error, const std::string& message,
                                      const char* function = nullptr);

}  // namespace changelog_test
