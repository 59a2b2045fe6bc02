// A guarded pass-through against a direct call through the same entry point.
#include <dlfcn.h>

#include <string>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "LustreAPI.h"

namespace {

// The entry point the library bound, looked up again in the same loaded object.
decltype(&::llapi_hsm_action_get_fd) BoundGetFd()
{
    void* handle = dlopen("liblustreapi.so", RTLD_NOW | RTLD_NOLOAD);
    if (!handle) handle = dlopen("liblustreapi.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return nullptr;
    auto entry = reinterpret_cast<decltype(&::llapi_hsm_action_get_fd)>(dlsym(handle, "llapi_hsm_action_get_fd"));
    dlclose(handle);  // drops only the reference taken here
    return entry;
}

void GuardedCall_Library(benchmark::State& state)
{
    if (!bench::PrepareLustre()) return state.SkipWithError("liblustreapi.so stand-in not bound");
    std::string msg;
    for (auto _ : state) benchmark::DoNotOptimize(LustreAPI::HSMActionGetFD(nullptr, msg));
}

void GuardedCall_Floor(benchmark::State& state)
{
    if (!bench::PrepareLustre()) return state.SkipWithError("liblustreapi.so stand-in not bound");
    const decltype(&::llapi_hsm_action_get_fd) entry = BoundGetFd();
    if (!entry) return state.SkipWithError("llapi_hsm_action_get_fd not found");
    for (auto _ : state) benchmark::DoNotOptimize(entry(nullptr));
}

}  // namespace

BENCHMARK(GuardedCall_Library);
BENCHMARK(GuardedCall_Floor);
