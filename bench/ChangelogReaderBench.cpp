// The changelog reader on a changelog of many records (1,000,000, or
// LUSTREAPI_BENCH_READER_RECORDS): in-process, and through lfs in a process
// whose Lustre library lacks the changelog calls, against the same records
// read as the text path reads them (lfs changelog through a pipe, each line
// parsed), against the stand-in's own llapi_changelog_recv loop alone, and
// the peak resident memory of a process that reads a tenth of them and of
// one that reads them all.
#include <dlfcn.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "LustreAPI.h"
#include "ZqLib.h"

namespace {

const char kMdt[] = "lustre-MDT0000";

long Records()
{
    const char* text = std::getenv("LUSTREAPI_BENCH_READER_RECORDS");
    const long n = text ? std::atol(text) : 0;
    return n > 0 ? n : 1000000;
}

// The directories made by StateWith, removed when the process ends (a
// changelog of a million records takes a few hundred megabytes).
std::map<long, std::string>& States()
{
    static std::map<long, std::string>* states = [] {
        std::atexit([] {
            for (const auto& [n, dir] : *states) {
                (void)n;
                std::error_code ignored;
                if (!dir.empty()) std::filesystem::remove_all(std::filesystem::path(dir).parent_path(), ignored);
            }
        });
        return new std::map<long, std::string>;
    }();
    return *states;
}

// A state directory of its own holding n records on kMdt; empty when it could
// not be made. Made once per n.
const std::string& StateWith(long n)
{
    std::map<long, std::string>& states = States();
    auto found = states.find(n);
    if (found != states.end()) return found->second;
    std::string dir;
    char pattern[] = "/tmp/lustreapi-bench-reader.XXXXXX";
    if (mkdtemp(pattern)) {
        dir = pattern;
        const std::string setUp = "export PATH=" LUSTREAPI_BENCH_SIM_BIN ":$PATH LUSTRE_SIM_STATE=" + dir +
                                  "/state && lustre-sim init " + dir + "/state --version 2.15 && lustre-sim add-fs " +
                                  "lustre && lustre-sim mount lustre " + dir + "/mnt && lustre-sim changelog-append " +
                                  kMdt + " CREAT --name 'file with spaces' --jobid 'cp 1.0' --uid 500 --gid 500 " +
                                  "--count " + std::to_string(n) + " >/dev/null";
        std::string out, err;
        if (ZqProcess::system(setUp.c_str(), &out, &err, 0, false) == 0)
            dir += "/state";
        else
            dir.clear();
    }
    return states.emplace(n, dir).first->second;
}

// LUSTRE_SIM_STATE and PATH for one run, restored afterwards.
class Environment {
public:
    explicit Environment(const std::string& state) : m_state(Get("LUSTRE_SIM_STATE")), m_path(Get("PATH"))
    {
        setenv("LUSTRE_SIM_STATE", state.c_str(), 1);
        setenv("PATH", (std::string(LUSTREAPI_BENCH_SIM_BIN ":") + m_path).c_str(), 1);
    }
    ~Environment()
    {
        setenv("LUSTRE_SIM_STATE", m_state.c_str(), 1);
        setenv("PATH", m_path.c_str(), 1);
    }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

private:
    static std::string Get(const char* name)
    {
        const char* value = std::getenv(name);
        return value ? value : "";
    }
    std::string m_state, m_path;
};

// Reads every record with a CChangelogReader; the count, or -1.
long ReadAll(bool& inProcess)
{
    LustreAPI::CChangelogReader reader;
    if (reader.Open(kMdt, 0, false).Failed()) return -1;
    inProcess = reader.InProcess();
    long n = 0;
    LustreAPI::CChangelogRecord record;
    for (bool got = true; got; n += got ? 1 : 0)
        if (reader.Next(record, std::chrono::milliseconds(0), got).Failed()) return -1;
    return n;
}

void ChangelogReader_InProcess(benchmark::State& state)
{
    const long n = Records();
    if (!bench::PrepareLustre() || StateWith(n).empty()) return state.SkipWithError("no stand-in changelog");
    const Environment environment(StateWith(n));
    for (auto _ : state) {
        bool inProcess = false;
        if (ReadAll(inProcess) != n || !inProcess) return state.SkipWithError("records not read in-process");
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// What the text path does with the same records: lfs changelog through a
// pipe, each line read into a record.
void ChangelogReader_Text(benchmark::State& state)
{
    const long n = Records();
    if (StateWith(n).empty()) return state.SkipWithError("no stand-in changelog");
    const Environment environment(StateWith(n));
    for (auto _ : state) {
        FILE* lfs = popen((std::string("lfs changelog ") + kMdt).c_str(), "r");
        if (!lfs) return state.SkipWithError("popen failed");
        char* line = nullptr;
        size_t capacity = 0;
        long read = 0;
        for (ssize_t length; (length = getline(&line, &capacity, lfs)) > 0; ++read) {
            LustreAPI::CChangelogRecord record;
            if (LustreAPI::ParseChangelogRecord(std::string(line, static_cast<size_t>(length) - 1), record).Failed())
                break;
        }
        free(line);
        if (pclose(lfs) != 0 || read != n) return state.SkipWithError("lfs failed");
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// The reader through lfs: a fresh process (this executable, restarted in its
// --reader-lfs mode) whose liblustreapi.so has no changelog calls reads every
// record with a CChangelogReader.
void ChangelogReader_Lfs(benchmark::State& state)
{
    const long n = Records();
    if (StateWith(n).empty()) return state.SkipWithError("no stand-in changelog");
    const Environment environment(StateWith(n));
    const std::string command = "LD_LIBRARY_PATH=" LUSTREAPI_BENCH_NO_CHANGELOG_DIR " /proc/" +
                                std::to_string(getpid()) + "/exe --reader-lfs " + StateWith(n) + " " +
                                std::to_string(n);
    for (auto _ : state) {
        std::string out, err;
        if (ZqProcess::system(command.c_str(), &out, &err, 0, false) != 0) return state.SkipWithError(err.c_str());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// The stand-in's own loop: start, recv and free each record, fini.
void ChangelogReader_RecvLoop(benchmark::State& state)
{
    const long n = Records();
    if (!bench::PrepareLustre() || StateWith(n).empty()) return state.SkipWithError("no stand-in changelog");
    const Environment environment(StateWith(n));
    void* library = dlopen("liblustreapi.so", RTLD_NOW);  // the one bound already; kept for the process
    const auto start = reinterpret_cast<decltype(&llapi_changelog_start)>(dlsym(library, "llapi_changelog_start"));
    const auto xflags =
        reinterpret_cast<decltype(&llapi_changelog_set_xflags)>(dlsym(library, "llapi_changelog_set_xflags"));
    const auto recv = reinterpret_cast<decltype(&llapi_changelog_recv)>(dlsym(library, "llapi_changelog_recv"));
    const auto release = reinterpret_cast<decltype(&llapi_changelog_free)>(dlsym(library, "llapi_changelog_free"));
    const auto fini = reinterpret_cast<decltype(&llapi_changelog_fini)>(dlsym(library, "llapi_changelog_fini"));
    if (!start || !xflags || !recv || !release || !fini) return state.SkipWithError("no changelog calls");
    for (auto _ : state) {
        void* priv = nullptr;
        if (start(&priv, static_cast<changelog_send_flag>(CHANGELOG_FLAG_JOBID | CHANGELOG_FLAG_EXTRA_FLAGS), kMdt,
                  0) != 0)
            return state.SkipWithError("llapi_changelog_start failed");
        xflags(priv, static_cast<changelog_send_extra_flag>(CLFE_SUPPORTED));
        long read = 0;
        changelog_rec* rec = nullptr;
        for (; recv(priv, &rec) == 0; ++read) release(&rec);
        fini(&priv);
        if (read != n) return state.SkipWithError("records not read");
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// The peak resident memory of a fresh process that reads every record of a
// changelog of range(0) records in-process (this executable, restarted in
// its --reader-rss mode), in the label as "rss_kib=N".
void ChangelogReader_Memory(benchmark::State& state)
{
    const long n = state.range(0) == 0 ? Records() / 10 : Records();
    if (StateWith(n).empty()) return state.SkipWithError("no stand-in changelog");
    std::string out;
    for (auto _ : state) {
        std::string err;
        out.clear();
        const std::string command =
            "/proc/" + std::to_string(getpid()) + "/exe --reader-rss " + StateWith(n) + " " + std::to_string(n);
        if (ZqProcess::system(command.c_str(), &out, &err, 0, false) != 0) return state.SkipWithError(err.c_str());
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    state.SetLabel("rss_kib=" + out);
}

}  // namespace

namespace bench {

int ReaderRssMain(const char* stateDir, long records)
{
    setenv("LUSTRE_SIM_STATE", stateDir, 1);
    bool inProcess = false;
    if (LustreAPI::LoadFunctions().Failed() || ReadAll(inProcess) != records || !inProcess) return 1;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "VmHWM:") == 0) printf("%ld\n", std::atol(line.c_str() + 6));
    return 0;
}

int ReaderLfsMain(const char* stateDir, long records)
{
    setenv("LUSTRE_SIM_STATE", stateDir, 1);
    bool inProcess = true;
    if (LustreAPI::LoadFunctions().Failed() || ReadAll(inProcess) != records || inProcess) return 1;
    return 0;
}

}  // namespace bench

BENCHMARK(ChangelogReader_InProcess)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(ChangelogReader_Lfs)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(ChangelogReader_Text)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(ChangelogReader_RecvLoop)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(ChangelogReader_Memory)->Arg(0)->Arg(1)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);
