#include "SimApi.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace simtest {
namespace {

template <typename T>
void Bind(void* lib, const char* name, T& slot)
{
    slot = reinterpret_cast<T>(dlsym(lib, name));
    if (!slot) {
        fprintf(stderr, "stand-in library lacks %s\n", name);
        abort();
    }
}

Llapi Load()
{
    // Kept loaded for the life of the test process.
    void* lib = dlopen(LUSTRE_SIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "dlopen(%s): %s\n", LUSTRE_SIM_LIBRARY, dlerror());
        abort();
    }
    Llapi api{};
#define SIM_BIND(member, symbol) Bind(lib, #symbol, api.member);
    SIM_SYMBOLS(SIM_BIND)
#undef SIM_BIND
    return api;
}

}  // namespace

const Llapi& Api()
{
    static const Llapi api = Load();
    return api;
}

std::string FidText(const lu_fid& fid)
{
    char buf[64];
    snprintf(buf, sizeof buf, "[0x%llx:0x%x:0x%x]", fid.f_seq, fid.f_oid, fid.f_ver);
    return buf;
}

int SubmitRequest(const std::string& path, int action, unsigned archive, const std::string& data)
{
    const Llapi& api = Api();
    std::unique_ptr<hsm_user_request, decltype(&free)> hur(api.user_request_alloc(1, static_cast<int>(data.size())),
                                                           &free);
    if (!hur) return -ENOMEM;
    hur->hur_request.hr_action = static_cast<unsigned>(action);
    hur->hur_request.hr_archive_id = archive;
    hur->hur_request.hr_itemcount = 1;
    hur->hur_request.hr_data_len = static_cast<unsigned>(data.size());
    lu_fid fid{};
    if (const int rc = api.path2fid(path.c_str(), &fid); rc != 0) return rc;
    memcpy(&hur->hur_user_item[0].hui_fid, &fid, sizeof fid);
    hur->hur_user_item[0].hui_extent.offset = 0;
    hur->hur_user_item[0].hui_extent.length = ~0ULL;
    memcpy(reinterpret_cast<char*>(hur.get()) + sizeof(hsm_user_request) + sizeof(hsm_user_item), data.data(),
           data.size());
    return api.request(path.c_str(), hur.get());
}

}  // namespace simtest
