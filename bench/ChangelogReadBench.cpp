// ReadChangelogs of 100,000 records from the stand-in lfs, against the same
// lfs printing them to /dev/null through the same runner: what reading them
// as values adds to producing them.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "LustreAPI.h"
#include "ZqLib.h"

namespace {

constexpr int kRecords = 100000;
const char kMdt[] = "lustre-MDT0000";

// A stand-in state of its own with kRecords records on kMdt. Empty when it
// could not be made. The process's environment is not changed: the other
// benchmarks keep their own stand-in state.
const std::string& ChangelogState()
{
    static const std::string state = [] {
        const std::string dir = bench::ScratchDir("changelog");
        if (dir.empty()) return std::string();
        const std::string setUp = "PATH=" LUSTREAPI_BENCH_SIM_BIN ":$PATH LUSTRE_SIM_STATE=" + dir +
                                  "/state && export PATH "
                                  "LUSTRE_SIM_STATE && lustre-sim init " +
                                  dir +
                                  "/state --version 2.15 && lustre-sim add-fs lustre && "
                                  "lustre-sim mount lustre " +
                                  dir + "/mnt && lustre-sim changelog-append " + kMdt +
                                  " CREAT --name 'file with spaces' --jobid cp.0 --count " + std::to_string(kRecords) +
                                  " >/dev/null";
        std::string out, err;
        const bool made = ZqProcess::system(setUp.c_str(), &out, &err, 0, false) == 0;
        // Removed when the process ends, made or not.
        static std::string madeDir = dir;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(madeDir, ignored);
        });
        return made ? dir + "/state" : std::string();
    }();
    return state;
}

// The stand-in tools first on PATH and the changelog's state for one
// benchmark's run; the former values come back afterwards.
class ChangelogEnvironment {
public:
    ChangelogEnvironment() : m_path(Get("PATH")), m_state(Get("LUSTRE_SIM_STATE"))
    {
        setenv("PATH", (std::string(LUSTREAPI_BENCH_SIM_BIN) + ":" + m_path).c_str(), 1);
        setenv("LUSTRE_SIM_STATE", ChangelogState().c_str(), 1);
    }
    ~ChangelogEnvironment()
    {
        setenv("PATH", m_path.c_str(), 1);
        if (m_state.empty())
            unsetenv("LUSTRE_SIM_STATE");
        else
            setenv("LUSTRE_SIM_STATE", m_state.c_str(), 1);
    }
    ChangelogEnvironment(const ChangelogEnvironment&) = delete;
    ChangelogEnvironment& operator=(const ChangelogEnvironment&) = delete;

private:
    static std::string Get(const char* name)
    {
        const char* value = std::getenv(name);
        return value ? value : "";
    }
    std::string m_path;
    std::string m_state;
};

void ChangelogRead_Library(benchmark::State& state)
{
    if (ChangelogState().empty()) return state.SkipWithError("the stand-in changelog could not be made");
    const ChangelogEnvironment environment;
    for (auto _ : state) {
        std::vector<LustreAPI::CChangelogRecord> records;
        const CKxError error = LustreAPI::ReadChangelogs(kMdt, "", "", records);
        if (error.Failed() || records.size() != kRecords) return state.SkipWithError("records not read");
        benchmark::DoNotOptimize(records.data());
    }
}

void ChangelogRead_Floor(benchmark::State& state)
{
    if (ChangelogState().empty()) return state.SkipWithError("the stand-in changelog could not be made");
    const ChangelogEnvironment environment;
    const std::string command = std::string("lfs changelog ") + kMdt + " > /dev/null";
    for (auto _ : state) {
        std::string out, err;
        if (ZqProcess::system(command.c_str(), &out, &err, 0, false) != 0) return state.SkipWithError(err.c_str());
    }
}

}  // namespace

BENCHMARK(ChangelogRead_Library)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ChangelogRead_Floor)->UseRealTime()->Unit(benchmark::kMillisecond);
