// Loads the stand-in liblustreapi.so with dlopen, as a host does, and gives
// each test a fresh state directory with one mounted file system.
#pragma once
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "LustreSimControl.h"
#include "LustreTypes.h"
#include "TestSupport.h"

// Found by argument-dependent lookup, so beside lu_fid.
bool operator==(const lu_fid& a, const lu_fid& b);
void PrintTo(const lu_fid& fid, std::ostream* os);

namespace simtest {

// Each entry point of the stand-in, and its control interface, as
// X(member, symbol); the member's type is symbol_t.
#define SIM_SYMBOLS(X) \
    X(copytool_register, llapi_hsm_copytool_register) \
    X(copytool_unregister, llapi_hsm_copytool_unregister) \
    X(copytool_recv, llapi_hsm_copytool_recv) \
    X(action_begin, llapi_hsm_action_begin) \
    X(action_end, llapi_hsm_action_end) \
    X(action_progress, llapi_hsm_action_progress) \
    X(action_get_fd, llapi_hsm_action_get_fd) \
    X(action_get_dfid, llapi_hsm_action_get_dfid) \
    X(user_request_alloc, llapi_hsm_user_request_alloc) \
    X(request, llapi_hsm_request) \
    X(search_fsname, llapi_search_fsname) \
    X(fid2path, llapi_fid2path) \
    X(path2fid, llapi_path2fid) \
    X(get_mdt_index_by_fid, llapi_get_mdt_index_by_fid) \
    X(fd2fid, llapi_fd2fid) \
    X(fail_next, lustre_sim_fail_next) \
    X(fail_clear, lustre_sim_fail_clear) \
    X(call_count, lustre_sim_call_count) \
    X(last_args, lustre_sim_last_args) \
    X(last_request, lustre_sim_last_request) \
    X(reset, lustre_sim_reset)

struct Llapi {
#define SIM_MEMBER(member, symbol) symbol##_t member;
    SIM_SYMBOLS(SIM_MEMBER)
#undef SIM_MEMBER
};

// The full library, loaded once per process and kept loaded.
const Llapi& Api();

std::string FidText(const lu_fid& fid);

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
    // Submits a one-item request for path (as the library under development
    // builds it) in this process.
    int Submit(const std::string& path, int action, unsigned archive, const std::string& data = "");
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
