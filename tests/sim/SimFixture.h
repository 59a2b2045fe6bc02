// Loads the stand-in liblustreapi.so with dlopen, as a host does, and gives
// each test a fresh state directory with one mounted file system.
#pragma once
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "SimApi.h"
#include "TestSupport.h"

// Found by argument-dependent lookup, so beside lu_fid.
bool operator==(const lu_fid& a, const lu_fid& b);
void PrintTo(const lu_fid& fid, std::ostream* os);

namespace simtest {

// A fresh state: file system "lustre" with 2 MDTs, archives 1 and 2.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override { api.reset(); }
    void TearDown() override { api.fail_clear(); }

    // Creates a file below the mount (parent directories too).
    std::string MakeFile(const std::string& rel, const std::string& content = "data")
    {
        return sandbox.WriteFile(rel, content);
    }
    std::string MakeDir(const std::string& rel);
    lu_fid FidOf(const std::string& path);
    int Submit(const std::string& path, int action, unsigned archive, const std::string& data = "")
    {
        return SubmitRequest(path, action, archive, data);
    }
    // Runs the helper program; returns its exit status and stdout.
    int RunHelper(const std::vector<std::string>& args, std::string& out);

    const Llapi& api = Api();
    testsupport::StandInState sandbox{2, 2};
    const std::string& mnt = sandbox.mount;
    const std::string archive1 = sandbox.Archive(1);
    const std::string archive2 = sandbox.Archive(2);
    const std::string& outside = sandbox.outside;
};

using testsupport::ReadFile;

}  // namespace simtest
