// ReadChangelogs of 100,000 records from the stand-in lfs, against the same
// lfs printing them to /dev/null through the same runner: what reading them
// as values adds to producing them.
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "LustreAPI.h"
#include "ZqLib.h"

namespace {

constexpr int kRecords = 100000;
const char kMdt[] = "lustre-MDT0000";

// A stand-in state of its own with kRecords records on kMdt, the stand-in
// tools first on PATH. Empty when it could not be made.
const std::string& PrepareChangelog() {
    static const std::string state = [] {
        char pattern[] = "/tmp/lustreapi-bench-changelog.XXXXXX";
        if (!mkdtemp(pattern)) return std::string();
        const std::string dir = pattern;
        const char* path = std::getenv("PATH");
        setenv("PATH", (std::string(LUSTREAPI_BENCH_SIM_BIN) + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
        setenv("LUSTRE_SIM_STATE", (dir + "/state").c_str(), 1);
        const std::string setUp =
            "lustre-sim init " + dir + "/state --version 2.15 && lustre-sim add-fs lustre && lustre-sim mount "
            "lustre " + dir + "/mnt && lustre-sim changelog-append " + kMdt + " CREAT --name 'file with spaces' "
            "--jobid cp.0 --count " + std::to_string(kRecords) + " >/dev/null";
        std::string out, err;
        return ZqProcess::system(setUp.c_str(), &out, &err, 0, false) == 0 ? dir : std::string();
    }();
    return state;
}

void PerRecord(benchmark::State& state) {
    state.counters["per_line"] = benchmark::Counter(
        kRecords, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void ChangelogRead_Library(benchmark::State& state) {
    if (PrepareChangelog().empty()) return state.SkipWithError("the stand-in changelog could not be made");
    for (auto _ : state) {
        std::vector<LustreAPI::CChangelogRecord> records;
        const CKxError error = LustreAPI::ReadChangelogs(kMdt, "", "", records);
        if (error.Failed() || records.size() != kRecords) return state.SkipWithError("records not read");
        benchmark::DoNotOptimize(records.data());
    }
    PerRecord(state);
}

void ChangelogRead_Floor(benchmark::State& state) {
    if (PrepareChangelog().empty()) return state.SkipWithError("the stand-in changelog could not be made");
    const std::string command = std::string("lfs changelog ") + kMdt + " > /dev/null";
    for (auto _ : state) {
        std::string out, err;
        if (ZqProcess::system(command.c_str(), &out, &err, 0, false) != 0) return state.SkipWithError(err.c_str());
    }
    PerRecord(state);
}

}  // namespace

BENCHMARK(ChangelogRead_Library)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ChangelogRead_Floor)->UseRealTime()->Unit(benchmark::kMillisecond);
