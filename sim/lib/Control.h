// Failure injection, call counts and recorded arguments behind the exported
// lustre_sim_* functions (LustreSimControl.h). Per process, thread-safe.
#pragma once
#include <string>

#include "LustreSimControl.h"

namespace sim::lib {

enum class Ep {
    CopytoolRegister,
    CopytoolUnregister,
    CopytoolRecv,
    ActionBegin,
    ActionEnd,
    ActionProgress,
    ActionGetFd,
    ActionGetDfid,
    UserRequestAlloc,
    Request,
    SearchFsname,
    Fid2Path,
    Path2Fid,
    GetMdtIndexByFid,
    Fd2Fid,
    StateGet,
    StateSet,
    CurrentAction,
    Fid2PathAt,
    HsmImport,
    ChangelogStart,
    ChangelogRecv,
    ChangelogFree,
    ChangelogFini,
    ChangelogClear,
    ChangelogInBuf,
    ChangelogGetFd,
    ChangelogSetXflags,
    StateGetFd,
    FileFgetMdtidx,
    Count
};

// Arguments under construction: strings are copied and truncated to fit.
struct CallArgs : lustre_sim_args {
    CallArgs();
    void Str0(const char* s);
    void Str1(const char* s);
};

// Counts the call and records its arguments. Returns true, with the result
// to return in injected, when a failure was pending for the entry point (it
// is consumed).
[[nodiscard]] bool EnterCall(Ep ep, const CallArgs& args, int& injected);

// For calls made once a record: only takes a pending failure, without
// counting the call or recording its arguments.
[[nodiscard]] bool TakeFailure(Ep ep, int& injected);

// Keeps a copy of the request handed to llapi_hsm_request.
void RecordRequest(const void* request);

// Largest request the stand-in reads whole (LL_IOC_HSM_REQUEST refuses
// requests of MDS_MAXREQSIZE / 3 bytes and more with -E2BIG).
constexpr unsigned long long kMaxRequestLen = 5 * 1024 / 3 - 1;

}  // namespace sim::lib
