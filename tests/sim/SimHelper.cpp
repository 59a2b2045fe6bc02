// A second process for the stand-in tests: loads the library given as the
// first argument and does one thing with it.
//
//   helper <lib> path2fid <path>                          prints the FID
//   helper <lib> request <path> <action> <archive> [data] prints the result
//   helper <lib> take <mount> <archive>                   receives one list
//       without ending its actions, prints the first cookie and exits, as a
//       copytool that dies mid-action
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "LustreTypes.h"

namespace {

bool ToInt(const char* text, int& value)
{
    const char* end = text + strlen(text);
    auto [p, ec] = std::from_chars(text, end, value);
    return ec == std::errc() && p == end;
}

template <typename T>
T Sym(void* lib, const char* name)
{
    return reinterpret_cast<T>(dlsym(lib, name));
}

int Path2Fid(void* lib, const char* path)
{
    auto path2fid = Sym<llapi_path2fid_t>(lib, "llapi_path2fid");
    lu_fid fid{};
    int rc = path2fid(path, &fid);
    if (rc != 0) {
        printf("%d\n", rc);
        return 1;
    }
    printf("[0x%llx:0x%x:0x%x]\n", fid.f_seq, fid.f_oid, fid.f_ver);
    return 0;
}

int Request(void* lib, const char* path, int action, int archive, const char* data)
{
    auto alloc = Sym<llapi_hsm_user_request_alloc_t>(lib, "llapi_hsm_user_request_alloc");
    auto request = Sym<llapi_hsm_request_t>(lib, "llapi_hsm_request");
    auto path2fid = Sym<llapi_path2fid_t>(lib, "llapi_path2fid");
    const int len = static_cast<int>(strlen(data));
    std::unique_ptr<hsm_user_request, decltype(&free)> hur(alloc(1, len), &free);
    if (!hur) return 2;
    hur->hur_request.hr_action = static_cast<unsigned>(action);
    hur->hur_request.hr_archive_id = static_cast<unsigned>(archive);
    hur->hur_request.hr_itemcount = 1;
    hur->hur_request.hr_data_len = static_cast<unsigned>(len);
    lu_fid fid{};
    int rc = path2fid(path, &fid);
    if (rc == 0) {
        memcpy(&hur->hur_user_item[0].hui_fid, &fid, sizeof fid);
        hur->hur_user_item[0].hui_extent.length = ~0ULL;
        memcpy(reinterpret_cast<char*>(hur.get()) + hur_len_for(1, 0), data, static_cast<size_t>(len));
        rc = request(path, hur.get());
    }
    printf("%d\n", rc);
    return rc == 0 ? 0 : 1;
}

int Take(void* lib, const char* mount, int archive)
{
    auto reg = Sym<llapi_hsm_copytool_register_t>(lib, "llapi_hsm_copytool_register");
    auto recv = Sym<llapi_hsm_copytool_recv_t>(lib, "llapi_hsm_copytool_recv");
    hsm_copytool_private* ct = nullptr;
    int rc = reg(&ct, mount, 1, &archive, O_NONBLOCK);
    hsm_action_list* hal = nullptr;
    int size = 0;
    if (rc == 0) rc = recv(ct, &hal, &size);
    if (rc != 0) {
        printf("%d\n", rc);
        return 1;
    }
    const char* first = hal->hal_fsname + hal_align8(strlen(hal->hal_fsname) + 1);
    hsm_action_item hai;
    memcpy(&hai, first, sizeof hai);
    printf("%llu\n", hai.hai_cookie);
    fflush(stdout);
    _exit(0);  // gone without unregistering or ending the action
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return 2;
    void* lib = dlopen(argv[1], RTLD_NOW);
    if (!lib) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    const std::string cmd = argv[2];
    int a = 0, b = 0;
    if (cmd == "path2fid" && argc == 4) return Path2Fid(lib, argv[3]);
    if (cmd == "request" && (argc == 6 || argc == 7) && ToInt(argv[4], a) && ToInt(argv[5], b))
        return Request(lib, argv[3], a, b, argc == 7 ? argv[6] : "");
    if (cmd == "take" && argc == 5 && ToInt(argv[4], a)) return Take(lib, argv[3], a);
    fprintf(stderr, "usage: %s <lib> path2fid|request|take ...\n", argv[0]);
    return 2;
}
