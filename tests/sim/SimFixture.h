// Loads the stand-in liblustreapi.so with dlopen, as a host does, and gives
// each test a fresh state directory with one mounted file system.
#pragma once
#include <gtest/gtest.h>
#include <linux/lnet/nidstr.h>
#include <lustre/lustreapi.h>

#include <ostream>
#include <string>
#include <vector>

#include "TestSupport.h"

// Found by argument-dependent lookup, so beside lu_fid.
bool operator==(const lu_fid& a, const lu_fid& b);
void PrintTo(const lu_fid& fid, std::ostream* os);

namespace simtest {

// Each entry point of the stand-in used here, as X(member, symbol); the
// member's type is a pointer to symbol.
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
    X(state_set, llapi_hsm_state_set) \
    X(search_fsname, llapi_search_fsname) \
    X(fid2path, llapi_fid2path) \
    X(path2fid, llapi_path2fid) \
    X(get_mdt_index_by_fid, llapi_get_mdt_index_by_fid) \
    X(fd2fid, llapi_fd2fid) \
    X(error, llapi_error) \
    X(msg_set_level, llapi_msg_set_level) \
    X(error_callback_set, llapi_error_callback_set) \
    X(hsm_log_error, llapi_hsm_log_error) \
    X(register_event_fifo, llapi_hsm_register_event_fifo) \
    X(unregister_event_fifo, llapi_hsm_unregister_event_fifo) \
    X(fid_parse, llapi_fid_parse) \
    X(fid2path_at, llapi_fid2path_at) \
    X(parse_size, llapi_parse_size) \
    X(hsm_import, llapi_hsm_import) \
    X(state_get, llapi_hsm_state_get) \
    X(state_get_fd, llapi_hsm_state_get_fd) \
    X(file_fget_mdtidx, llapi_file_fget_mdtidx) \
    X(nid2str_r, libcfs_nid2str_r)

struct Llapi {
#define SIM_MEMBER(member, symbol) decltype(&::symbol) member;
    SIM_SYMBOLS(SIM_MEMBER)
#undef SIM_MEMBER
};

// The library, loaded once per process and kept loaded.
const Llapi& Api();

std::string FidText(const lu_fid& fid);

// A fresh state: file system "lustre" with 2 MDTs, archives 1 and 2.
class SimTest : public ::testing::Test {
protected:
    // Creates a file below the mount (parent directories too).
    std::string MakeFile(const std::string& rel, const std::string& content = "data")
    {
        return sandbox.WriteFile(rel, content);
    }
    lu_fid FidOf(const std::string& path);
    // Submits a one-item request for path, the whole file, as the library
    // under development builds it; path2fid's or llapi_hsm_request's result.
    int Submit(const std::string& path, int action, unsigned archive, const std::string& data = "");
    // Runs a stand-in tool (lfs, lustre-sim) on this state.
    testsupport::Outcome Tool(std::vector<std::string> argv);

    const Llapi& api = Api();
    testsupport::StandInState sandbox{2, 2};
    const std::string& mnt = sandbox.mount;
    const std::string archive1 = sandbox.Archive(1);
    const std::string archive2 = sandbox.Archive(2);
    const std::string& outside = sandbox.outside;
};

using testsupport::ReadFile;

}  // namespace simtest
