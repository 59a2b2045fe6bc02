// The HSM state of many files in one call (HSMStateGetFiles): one
// llapi_hsm_state_get per file, a result for each, progress between files.
#include <cerrno>

#include "Diagnostics.h"
#include "EntryPoints.h"
#include "HsmFileRequests.h"
#include "LustreAPI.h"

namespace LustreAPI {

CKxError HSMStateGetFiles(const std::vector<std::string>& paths, std::vector<hsm_user_state>& states,
                          std::vector<int>& results, const HSMProgress& progress)
{
    std::string reason;
    const auto stateGet = BoundEntry<&FunctionTable::hsm_state_get>(reason);
    states.assign(paths.size(), hsm_user_state{});
    if (!stateGet) {
        results.assign(paths.size(), -EINVAL);
        return HBErrorUtil::ErrorErrNo(LAPI_LOCATION, EINVAL, "%s", reason.c_str());
    }
    results.assign(paths.size(), 0);
    for (size_t i = 0; i < paths.size(); ++i) {
        // Lustre may write part of the record before it fails: a failed
        // file's state stays all zero.
        hsm_user_state state{};
        results[i] = stateGet(paths[i].c_str(), &state);
        if (results[i] > 0) results[i] = 0;
        if (results[i] == 0) states[i] = state;
        if (progress) progress(i + 1, paths.size());
    }
    return ManyFilesError(LAPI_LOCATION, "HSM state query", paths, results);
}

}  // namespace LustreAPI
