// The stand-in liblustreapi.so loaded with dlopen, as a host loads it, for
// the tests and for their second process.
#pragma once
#include <lustre/lustreapi.h>

#include <string>

#include "LustreSimControl.h"

namespace simtest {

// Each entry point of the stand-in, and its control interface, as
// X(member, symbol); the member's type is a pointer to symbol.
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
#define SIM_MEMBER(member, symbol) decltype(&::symbol) member;
    SIM_SYMBOLS(SIM_MEMBER)
#undef SIM_MEMBER
};

// The full library, loaded once per process and kept loaded.
const Llapi& Api();

std::string FidText(const lu_fid& fid);

// Submits a one-item request for path, the whole file, as the library under
// development builds it; llapi_path2fid's or llapi_hsm_request's result.
int SubmitRequest(const std::string& path, int action, unsigned archive, const std::string& data = "");

}  // namespace simtest
