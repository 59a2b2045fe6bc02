// HSMRequest on an existing file against the same system calls and stand-in
// calls written inline.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "LustreAPI.h"

namespace {

struct Entries {
    decltype(&::llapi_hsm_user_request_alloc) alloc = nullptr;
    decltype(&::llapi_hsm_request) request = nullptr;
    decltype(&::llapi_fd2fid) fd2fid = nullptr;
};

Entries BoundEntries()
{
    Entries e;
    void* handle = dlopen("liblustreapi.so", RTLD_NOW | RTLD_NOLOAD);
    if (!handle) handle = dlopen("liblustreapi.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return e;
    e.alloc =
        reinterpret_cast<decltype(&::llapi_hsm_user_request_alloc)>(dlsym(handle, "llapi_hsm_user_request_alloc"));
    e.request = reinterpret_cast<decltype(&::llapi_hsm_request)>(dlsym(handle, "llapi_hsm_request"));
    e.fd2fid = reinterpret_cast<decltype(&::llapi_fd2fid)>(dlsym(handle, "llapi_fd2fid"));
    dlclose(handle);
    return e;
}

// What HSMRequest does for an archive with data, minus the library.
int InlineArchive(const Entries& e, const char* path, const char* data)
{
    const int fd = open(path, O_RDONLY);
    if (fd < 0) return -errno;
    const int len = static_cast<int>(std::strlen(data));
    hsm_user_request* hur = e.alloc(1, len);
    if (!hur) {
        close(fd);
        return -12;
    }
    hur->hur_request.hr_action = 10;
    hur->hur_request.hr_archive_id = 1;
    hur->hur_request.hr_flags = 0;
    hur->hur_request.hr_itemcount = 1;
    hur->hur_request.hr_data_len = static_cast<unsigned>(len);
    hur->hur_user_item[0].hui_extent.offset = 0;
    hur->hur_user_item[0].hui_extent.length = ~0ULL;
    char* const bytes = reinterpret_cast<char*>(hur);
    std::memcpy(bytes + sizeof(hsm_request) + sizeof(hsm_user_item), data, static_cast<size_t>(len));
    // The packed item's FID is 8-byte aligned at offset 24 of the block.
    const int rc = e.fd2fid(fd, reinterpret_cast<lu_fid*>(bytes + sizeof(hsm_request)));
    close(fd);
    const int result = rc < 0 ? rc : e.request(path, hur);
    std::free(hur);
    return result;
}

void HSMRequest_Library(benchmark::State& state)
{
    if (!bench::PrepareLustre()) return state.SkipWithError("liblustreapi.so stand-in not bound");
    const std::string path = bench::MountPoint() + "/file";
    std::string msg;
    for (auto _ : state) {
        const int rc = LustreAPI::HSMArchive(path.c_str(), "bench", msg);
        if (rc < 0) return state.SkipWithError(("HSMArchive failed: " + msg).c_str());
    }
}

void HSMRequest_Floor(benchmark::State& state)
{
    if (!bench::PrepareLustre()) return state.SkipWithError("liblustreapi.so stand-in not bound");
    const Entries e = BoundEntries();
    if (!e.alloc || !e.request || !e.fd2fid) return state.SkipWithError("entry points not found");
    const std::string path = bench::MountPoint() + "/file";
    for (auto _ : state) {
        if (InlineArchive(e, path.c_str(), "bench") < 0) return state.SkipWithError("inline request failed");
    }
}

}  // namespace

BENCHMARK(HSMRequest_Library);
BENCHMARK(HSMRequest_Floor);
