#include "Control.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include <sched.h>
#include <vector>

#include <lustre/lustreapi.h>

#define LSIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace sim::lib {
namespace {

constexpr int kCount = static_cast<int>(Ep::Count);

const char* const kNames[kCount] = {
    "llapi_hsm_copytool_register",
    "llapi_hsm_copytool_unregister",
    "llapi_hsm_copytool_recv",
    "llapi_hsm_action_begin",
    "llapi_hsm_action_end",
    "llapi_hsm_action_progress",
    "llapi_hsm_action_get_fd",
    "llapi_hsm_action_get_dfid",
    "llapi_hsm_user_request_alloc",
    "llapi_hsm_request",
    "llapi_search_fsname",
    "llapi_fid2path",
    "llapi_path2fid",
    "llapi_get_mdt_index_by_fid",
    "llapi_fd2fid",
    "llapi_hsm_state_get",
    "llapi_hsm_state_set",
    "llapi_hsm_current_action",
    "llapi_fid2path_at",
    "llapi_hsm_import",
    "llapi_changelog_start",
    "llapi_changelog_recv",
    "llapi_changelog_free",
    "llapi_changelog_fini",
    "llapi_changelog_clear",
    "llapi_changelog_in_buf",
    "llapi_changelog_get_fd",
    "llapi_changelog_set_xflags",
    "llapi_hsm_state_get_fd",
    "llapi_file_fget_mdtidx",
};

struct Slot {
    int calls = 0;
    bool failPending = false;
    int failResult = 0;
    bool called = false;
    lustre_sim_args last{};
};

struct State {
    std::mutex mutex;
    Slot slots[kCount];
    std::vector<unsigned char> request;
};

State& Global()
{
    static State* state = new State;  // never destroyed: calls may come from atexit handlers
    return *state;
}

int IndexOf(const char* name)
{
    if (!name) return -1;
    for (int i = 0; i < kCount; ++i)
        if (strcmp(kNames[i], name) == 0) return i;
    return -1;
}

void CopyString(char* dst, size_t size, const char* src)
{
    if (!src) {
        dst[0] = '\0';
        return;
    }
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

}  // namespace

CallArgs::CallArgs() : lustre_sim_args{} {}

void CallArgs::Str0(const char* s) { CopyString(str0, sizeof str0, s); }
void CallArgs::Str1(const char* s) { CopyString(str1, sizeof str1, s); }

bool EnterCall(Ep ep, const CallArgs& args, int& injected)
{
    State& s = Global();
    std::unique_lock<std::mutex> lock(s.mutex, std::defer_lock);
    if (ep != Ep::CopytoolUnregister) {
        lock.lock();
    } else {
        // Unregister runs from signal handlers, perhaps on a thread that
        // holds this lock: it is counted only if the lock comes free soon.
        for (int i = 0; i < 1000 && !lock.try_lock(); ++i) sched_yield();
        if (!lock.owns_lock()) return false;
    }
    Slot& slot = s.slots[static_cast<int>(ep)];
    ++slot.calls;
    slot.called = true;
    slot.last = args;
    if (!slot.failPending) return false;
    slot.failPending = false;
    injected = slot.failResult;
    return true;
}

bool TakeFailure(Ep ep, int& injected)
{
    State& s = Global();
    std::lock_guard<std::mutex> lock(s.mutex);
    Slot& slot = s.slots[static_cast<int>(ep)];
    if (!slot.failPending) return false;
    slot.failPending = false;
    injected = slot.failResult;
    return true;
}

void RecordRequest(const void* request)
{
    State& s = Global();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.request.clear();
    if (!request) return;
    hsm_request header;
    memcpy(&header, request, sizeof header);
    unsigned long long len = sizeof(hsm_user_request) + 32ULL * header.hr_itemcount + header.hr_data_len;
    if (len > kMaxRequestLen) len = sizeof header;
    const auto* bytes = static_cast<const unsigned char*>(request);
    s.request.assign(bytes, bytes + len);
}

}  // namespace sim::lib

using sim::lib::Global;
using sim::lib::IndexOf;

LSIM_EXPORT void lustre_sim_fail_next(const char* entry_point, int result)
{
    int i = IndexOf(entry_point);
    if (i < 0) return;
    auto& s = Global();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.slots[i].failPending = true;
    s.slots[i].failResult = result;
}

LSIM_EXPORT void lustre_sim_fail_clear(void)
{
    auto& s = Global();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& slot : s.slots) slot.failPending = false;
}

LSIM_EXPORT int lustre_sim_call_count(const char* entry_point)
{
    int i = IndexOf(entry_point);
    if (i < 0) return -1;
    auto& s = Global();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.slots[i].calls;
}

LSIM_EXPORT int lustre_sim_last_args(const char* entry_point, struct lustre_sim_args* out)
{
    int i = IndexOf(entry_point);
    if (i < 0 || !out) return -EINVAL;
    auto& s = Global();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.slots[i].called) return -ENOENT;
    *out = s.slots[i].last;
    return 0;
}

LSIM_EXPORT size_t lustre_sim_last_request(void* buf, size_t len)
{
    auto& s = Global();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (buf && len > 0 && !s.request.empty()) memcpy(buf, s.request.data(), std::min(len, s.request.size()));
    return s.request.size();
}

LSIM_EXPORT void lustre_sim_reset(void)
{
    auto& s = Global();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& slot : s.slots) slot = sim::lib::Slot{};
    s.request.clear();
}
