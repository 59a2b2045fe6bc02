#include "SimFixture.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace simtest {
namespace {

Llapi Load()
{
    // Kept loaded for the life of the test process.
    void* lib = dlopen(LUSTRE_SIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "dlopen(%s): %s\n", LUSTRE_SIM_LIBRARY, dlerror());
        abort();
    }
    Llapi api{};
#define SIM_BIND(member, symbol) \
    api.member = reinterpret_cast<decltype(api.member)>(dlsym(lib, #symbol)); \
    if (!api.member) abort();
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

lu_fid SimTest::FidOf(const std::string& path)
{
    lu_fid fid{};
    EXPECT_EQ(api.path2fid(path.c_str(), &fid), 0) << path;
    return fid;
}

int SimTest::Submit(const std::string& path, int action, unsigned archive, const std::string& data)
{
    std::unique_ptr<hsm_user_request, decltype(&free)> hur(api.user_request_alloc(1, static_cast<int>(data.size())),
                                                           &free);
    hur->hur_request = {static_cast<unsigned>(action), archive, 0, 1, static_cast<unsigned>(data.size())};
    lu_fid fid{};
    if (const int rc = api.path2fid(path.c_str(), &fid); rc != 0) return rc;
    memcpy(&hur->hur_user_item[0].hui_fid, &fid, sizeof fid);
    hur->hur_user_item[0].hui_extent.length = ~0ULL;
    memcpy(reinterpret_cast<char*>(hur.get()) + sizeof(hsm_user_request) + sizeof(hsm_user_item), data.data(),
           data.size());
    return api.request(path.c_str(), hur.get());
}

testsupport::Outcome SimTest::Tool(std::vector<std::string> argv)
{
    argv[0] = std::string(LUSTRESIM_BIN_DIR) + "/" + argv[0];
    return testsupport::Run(argv);
}

}  // namespace simtest

bool operator==(const lu_fid& a, const lu_fid& b)
{
    return a.f_seq == b.f_seq && a.f_oid == b.f_oid && a.f_ver == b.f_ver;
}

void PrintTo(const lu_fid& fid, std::ostream* os) { *os << simtest::FidText(fid); }
