// Many files (10,000 by default) archived through HSMRequestFiles against the same files
// through HSMRequest one by one, on the stand-in. Each run starts from an
// empty queue with every FID already given, so both do the same work apart
// from how the files are sent. The counter "requests" is the number of
// llapi_hsm_request calls a run makes.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "LustreAPI.h"
#include "LustreSimControl.h"

namespace {

// LUSTREAPI_BENCH_FILES overrides the number of files.
size_t FileCount()
{
    const char* text = std::getenv("LUSTREAPI_BENCH_FILES");
    const long long n = text ? std::atoll(text) : 0;
    return n > 0 ? static_cast<size_t>(n) : 10000;
}

int RequestCalls()
{
    void* handle = dlopen("liblustreapi.so", RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return -1;
    const auto count = reinterpret_cast<lustre_sim_call_count_t>(dlsym(handle, "lustre_sim_call_count"));
    dlclose(handle);
    return count ? count("llapi_hsm_request") : -1;
}

// The files, made once; their FIDs given by a first request that queues
// nothing.
const std::vector<std::string>& Files()
{
    static const std::vector<std::string> paths = [] {
        std::vector<std::string> made;
        const std::string dir = bench::MountPoint() + "/many";
        mkdir(dir.c_str(), 0755);
        for (size_t i = 0, count = FileCount(); i < count; ++i) {
            made.push_back(dir + "/f" + std::to_string(i));
            std::ofstream(made.back()) << "data";
        }
        std::vector<int> results;
        LustreAPI::HSMRequestFiles(made, HUA_NONE, 0, "", results);
        return made;
    }();
    return paths;
}

// Drops every queued action of the files, outside the timing.
void EmptyQueue(benchmark::State& state, const std::vector<std::string>& paths)
{
    state.PauseTiming();
    std::vector<int> results;
    LustreAPI::HSMRequestFiles(paths, HUA_CANCEL, 0, "", results);
    state.ResumeTiming();
}

void HSMRequestFiles_Batched(benchmark::State& state)
{
    if (!bench::PrepareLustre()) return state.SkipWithError("liblustreapi.so stand-in not bound");
    const std::vector<std::string>& paths = Files();
    std::vector<int> results;
    int requests = 0;
    for (auto _ : state) {
        EmptyQueue(state, paths);
        const int before = RequestCalls();
        if (LustreAPI::HSMRequestFiles(paths, HUA_ARCHIVE, 1, "", results).Failed())
            return state.SkipWithError("HSMRequestFiles failed");
        requests = RequestCalls() - before;
    }
    // A label, not a counter: the CSV report wants every counter in every run.
    state.SetLabel(std::to_string(requests) + " requests");
}

void HSMRequestFiles_OneByOne(benchmark::State& state)
{
    if (!bench::PrepareLustre()) return state.SkipWithError("liblustreapi.so stand-in not bound");
    const std::vector<std::string>& paths = Files();
    std::string msg;
    int requests = 0;
    for (auto _ : state) {
        EmptyQueue(state, paths);
        const int before = RequestCalls();
        for (const std::string& path : paths)
            if (LustreAPI::HSMRequest(path.c_str(), HUA_ARCHIVE, "", msg) < 0)
                return state.SkipWithError(("HSMRequest failed: " + msg).c_str());
        requests = RequestCalls() - before;
    }
    state.SetLabel(std::to_string(requests) + " requests");
}

}  // namespace

// Seconds per run: one run each is enough to see the ratio.
BENCHMARK(HSMRequestFiles_Batched)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(HSMRequestFiles_OneByOne)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
