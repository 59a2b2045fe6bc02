// The stand-in at a policy engine's scale. Each per-call benchmark runs on a
// state of 1,000 files and on a large one (LUSTREAPI_BENCH_STATE_FILES,
// 1,000,000 by default), made by "lustre-sim populate": the cost of one
// call must not depend on the size. "lfs changelog" of every record and
// "lfs changelog_clear" of half of them are set against reading the same
// bytes from a file. The whole HSM flow (archive, release, restore) of
// LUSTREAPI_BENCH_FLOW_FILES files (100,000) is timed as a whole.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "ChangelogFeed.h"
#include "LustreAPI.h"
#include "ZqLib.h"

namespace {

constexpr int64_t kSmall = 1000;
const char kMdt[] = "lustre-MDT0000";

int64_t LargeCount()
{
    const char* text = std::getenv("LUSTREAPI_BENCH_STATE_FILES");
    const long long n = text ? std::atoll(text) : 0;
    return n > 0 ? n : 1000000;
}

int Shell(const std::string& command)
{
    std::string out, err;
    return ZqProcess::system(command.c_str(), &out, &err, 0, false);
}

// A state directory holding files populated files (and their CREAT
// records), with changelog reader cl1 registered before them and the
// listing of its records kept in <dir>/listing; "" when it could not be
// made. Made once per size (a scratch directory, removed at exit).
const std::string& StateOf(int64_t files)
{
    static std::map<int64_t, std::string> states;
    auto it = states.find(files);
    if (it != states.end()) return it->second;
    std::string dir = bench::ScratchDir("scale");
    const std::string env = "PATH=" LUSTREAPI_BENCH_SIM_BIN ":$PATH LUSTRE_SIM_STATE=" + dir + "/state";
    if (!dir.empty() &&
        Shell("export " + env + " && lustre-sim init " + dir + "/state --version 2.15 && mkdir " + dir +
              "/mnt && lustre-sim add-fs lustre && lustre-sim mount lustre " + dir + "/mnt && lctl --device " + kMdt +
              " changelog_register -n >/dev/null && lustre-sim populate lustre " + std::to_string(files) +
              " && lfs changelog " + kMdt + " > " + dir + "/listing") != 0)
        dir.clear();
    return states.emplace(files, dir).first->second;
}

// LUSTRE_SIM_STATE at a state for one benchmark's run; the former value
// comes back afterwards, for the other benchmarks' own state.
class StateEnvironment {
public:
    explicit StateEnvironment(const std::string& dir)
    {
        if (const char* old = std::getenv("LUSTRE_SIM_STATE")) m_old = old;
        setenv("LUSTRE_SIM_STATE", (dir + "/state").c_str(), 1);
    }
    ~StateEnvironment() { setenv("LUSTRE_SIM_STATE", m_old.c_str(), 1); }

private:
    std::string m_old;
};

// The stand-in's entry points, from the copy the library bound.
template <typename F>
F* Llapi(const char* name)
{
    if (!bench::PrepareLustre()) return nullptr;
    void* handle = dlopen("liblustreapi.so", RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return nullptr;
    F* f = reinterpret_cast<F*>(dlsym(handle, name));
    dlclose(handle);  // the library keeps its own reference
    return f;
}

// One of the first 1,000 files, by turns.
std::string FileOf(const std::string& dir, int64_t i)
{
    return dir + "/mnt/populated.1/d0/f" + std::to_string(i % kSmall);
}

// Runs call(path) on the files of a state of state.range(0) files.
template <typename Call>
void PerCall(benchmark::State& state, Call call)
{
    if (!bench::PrepareLustre()) return state.SkipWithError("liblustreapi.so stand-in not bound");
    const int64_t files = state.range(0) == 0 ? LargeCount() : state.range(0);
    const std::string& dir = StateOf(files);
    if (dir.empty()) return state.SkipWithError("cannot populate the state");
    StateEnvironment env(dir);
    int64_t i = 0;
    for (auto _ : state)
        if (const int rc = call(FileOf(dir, i++)); rc != 0)
            return state.SkipWithError(("call failed: " + std::string(strerror(-rc))).c_str());
    state.SetLabel(std::to_string(files) + " files");
}

void PerCall_Path2Fid(benchmark::State& state)
{
    const auto path2fid = Llapi<decltype(llapi_path2fid)>("llapi_path2fid");
    PerCall(state, [&](const std::string& path) {
        lu_fid fid;
        return path2fid ? path2fid(path.c_str(), &fid) : -ENOSYS;
    });
}

void PerCall_StateGet(benchmark::State& state)
{
    const auto stateGet = Llapi<decltype(llapi_hsm_state_get)>("llapi_hsm_state_get");
    PerCall(state, [&](const std::string& path) {
        hsm_user_state hus;
        return stateGet ? stateGet(path.c_str(), &hus) : -ENOSYS;
    });
}

// One ARCHIVE request of one file (queued the first time, then found
// pending).
void PerCall_Request(benchmark::State& state)
{
    const auto path2fid = Llapi<decltype(llapi_path2fid)>("llapi_path2fid");
    const auto alloc = Llapi<decltype(llapi_hsm_user_request_alloc)>("llapi_hsm_user_request_alloc");
    const auto request = Llapi<decltype(llapi_hsm_request)>("llapi_hsm_request");
    PerCall(state, [&](const std::string& path) {
        if (!path2fid || !alloc || !request) return -ENOSYS;
        hsm_user_request* hur = alloc(1, 0);
        hur->hur_request.hr_action = HUA_ARCHIVE;
        hur->hur_request.hr_archive_id = 1;
        hur->hur_request.hr_itemcount = 1;
        hur->hur_user_item[0].hui_extent.length = ~0ULL;
        lu_fid fid;
        int rc = path2fid(path.c_str(), &fid);
        if (rc == 0) {
            memcpy(&hur->hur_user_item[0].hui_fid, &fid, sizeof fid);
            rc = request(path.c_str(), hur);
        }
        free(hur);
        return rc;
    });
}

// One record appended to an MDT's changelog, in a transaction of its own,
// as a tool or the watcher appends it.
void PerCall_ChangelogAppend(benchmark::State& state)
{
    std::unique_ptr<sim::StateDb> db;
    sim::ChangelogRecord record;
    record.type = 1;
    record.name = "appended";
    PerCall(state, [&](const std::string&) {
        std::string error;
        if (!db) db = sim::StateDb::Open(std::getenv("LUSTRE_SIM_STATE"), error);
        if (!db) return -EIO;
        sim::Transaction tx(*db);
        sim::ChangelogStore store(*db, kMdt);
        return sim::AppendChangelogRecord(store, record) && tx.Commit() ? 0 : -EIO;
    });
}

// Reads the first bytes of file into a buffer: the floor of a listing.
bool ReadBytes(const std::string& file, off_t bytes)
{
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    static char buf[1 << 16];
    for (off_t done = 0; done < bytes;) {
        const ssize_t n = read(fd, buf, std::min<off_t>(sizeof buf, bytes - done));
        if (n <= 0) break;
        done += n;
    }
    close(fd);
    return true;
}

off_t SizeOf(const std::string& file)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    return ec ? 0 : static_cast<off_t>(size);
}

// "lfs changelog" of every record of the large state, to /dev/null.
void ChangelogList_Lfs(benchmark::State& state)
{
    const std::string& dir = StateOf(LargeCount());
    if (dir.empty()) return state.SkipWithError("cannot populate the state");
    StateEnvironment env(dir);
    for (auto _ : state)
        if (Shell(std::string(LUSTREAPI_BENCH_SIM_BIN "/lfs changelog ") + kMdt + " >/dev/null") != 0)
            return state.SkipWithError("lfs changelog failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SizeOf(dir + "/listing"));
}

void ChangelogList_File(benchmark::State& state)
{
    const std::string& dir = StateOf(LargeCount());
    if (dir.empty()) return state.SkipWithError("cannot populate the state");
    const off_t size = SizeOf(dir + "/listing");
    for (auto _ : state)
        if (!ReadBytes(dir + "/listing", size)) return state.SkipWithError("cannot read the listing");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

// "lfs changelog_clear" of half the records of a copy of the large state
// (made outside the timing), against reading their text from a file.
void ChangelogClear_Lfs(benchmark::State& state)
{
    const std::string& dir = StateOf(LargeCount());
    if (dir.empty()) return state.SkipWithError("cannot populate the state");
    const std::string copy = dir + "/copy";
    const std::string half = std::to_string((LargeCount() + LargeCount() / 1000) / 2);
    for (auto _ : state) {
        state.PauseTiming();
        std::error_code ignored;
        std::filesystem::remove_all(copy, ignored);
        std::filesystem::create_directories(copy);
        std::filesystem::copy(dir + "/state", copy + "/state", std::filesystem::copy_options::recursive, ignored);
        StateEnvironment env(copy);
        state.ResumeTiming();
        if (Shell(std::string(LUSTREAPI_BENCH_SIM_BIN "/lfs changelog_clear ") + kMdt + " cl1 " + half) != 0)
            return state.SkipWithError("lfs changelog_clear failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (SizeOf(dir + "/listing") / 2));
}

void ChangelogClear_File(benchmark::State& state)
{
    const std::string& dir = StateOf(LargeCount());
    if (dir.empty()) return state.SkipWithError("cannot populate the state");
    const off_t size = SizeOf(dir + "/listing") / 2;
    for (auto _ : state)
        if (!ReadBytes(dir + "/listing", size)) return state.SkipWithError("cannot read the listing");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

size_t FlowCount()
{
    const char* text = std::getenv("LUSTREAPI_BENCH_FLOW_FILES");
    const long long n = text ? std::atoll(text) : 0;
    return n > 0 ? static_cast<size_t>(n) : 100000;
}

// A copytool over the stand-in's entry points: serves what is queued, and
// returns the number of actions ended, or -1 on a failure.
long long ServeQueue(const std::string& mount, const std::string& archive)
{
    static const auto reg = Llapi<decltype(llapi_hsm_copytool_register)>("llapi_hsm_copytool_register");
    static const auto unreg = Llapi<decltype(llapi_hsm_copytool_unregister)>("llapi_hsm_copytool_unregister");
    static const auto recv = Llapi<decltype(llapi_hsm_copytool_recv)>("llapi_hsm_copytool_recv");
    static const auto begin = Llapi<decltype(llapi_hsm_action_begin)>("llapi_hsm_action_begin");
    static const auto getFd = Llapi<decltype(llapi_hsm_action_get_fd)>("llapi_hsm_action_get_fd");
    static const auto end = Llapi<decltype(llapi_hsm_action_end)>("llapi_hsm_action_end");
    if (!reg || !unreg || !recv || !begin || !getFd || !end) return -1;
    hsm_copytool_private* ct = nullptr;
    if (reg(&ct, mount.c_str(), 0, nullptr, O_NONBLOCK) != 0) return -1;
    long long ended = 0;
    hsm_action_list* hal = nullptr;
    int size = 0;
    std::string data;
    while (ended >= 0 && recv(ct, &hal, &size) == 0) {
        hsm_action_item* hai = hai_first(hal);
        for (unsigned i = 0; i < hal->hal_count && ended >= 0; ++i, hai = hai_next(hai)) {
            char name[64];
            snprintf(name, sizeof name, "/%llx:%x", static_cast<unsigned long long>(hai->hai_fid.f_seq),
                     hai->hai_fid.f_oid);
            const std::string copy = archive + name;
            hsm_copyaction_private* hcp = nullptr;
            if (begin(&hcp, ct, hai, -1, 0, false) != 0) {
                ended = -1;
                break;
            }
            const int fd = getFd(hcp);
            char buf[4096];
            ssize_t n = 0;
            if (hai->hai_action == HSMA_ARCHIVE) {
                data.clear();
                while ((n = read(fd, buf, sizeof buf)) > 0) data.append(buf, static_cast<size_t>(n));
                const int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                n = out >= 0 && write(out, data.data(), data.size()) == static_cast<ssize_t>(data.size()) ? 0 : -1;
                if (out >= 0) close(out);
            } else {
                const int in = open(copy.c_str(), O_RDONLY | O_CLOEXEC);
                while (in >= 0 && (n = read(in, buf, sizeof buf)) > 0)
                    if (write(fd, buf, static_cast<size_t>(n)) != n) n = -1;
                if (in >= 0) close(in);
            }
            if (fd >= 0) close(fd);
            const hsm_extent extent{0, data.size()};
            if (end(&hcp, &extent, 0, n < 0 ? EIO : 0) != 0 || n < 0)
                ended = -1;
            else
                ++ended;
        }
    }
    unreg(&ct);
    return ended;
}

// The whole flow over many files: HSMRequestFiles archives them, a copytool
// copies each to the archive, HSMRequestFiles releases them, then restores
// them and the copytool copies each back. On a state of its own, which no
// other benchmark's queue reaches.
void HsmFlow_Files(benchmark::State& state)
{
    if (!bench::PrepareLustre()) return state.SkipWithError("liblustreapi.so stand-in not bound");
    const std::string top = bench::ScratchDir("flow"), mount = top + "/mnt", archive = top + "/archive";
    if (top.empty()) return state.SkipWithError("cannot make a state directory");
    std::filesystem::create_directories(mount);
    std::filesystem::create_directories(archive);
    std::filesystem::create_directories(top + "/state");
    std::ofstream(top + "/state/config") << "version 2.15\nfs lustre mdts=1\nmount lustre " << mount
                                         << " ffff8803f0d41000\narchive lustre 1 " << archive << "\n";
    StateEnvironment env(top);
    std::vector<std::string> paths;
    for (size_t i = 0, count = FlowCount(); i < count; ++i) {
        paths.push_back(mount + "/f" + std::to_string(i));
        std::ofstream(paths.back()) << "data of file " << i;
    }
    std::vector<int> results;
    for (auto _ : state) {
        for (int action : {HUA_ARCHIVE, HUA_RELEASE, HUA_RESTORE}) {
            if (LustreAPI::HSMRequestFiles(paths, action, 1, "", results).Failed())
                return state.SkipWithError("HSMRequestFiles failed");
            if (action != HUA_RELEASE && ServeQueue(mount, archive) != static_cast<long long>(paths.size()))
                return state.SkipWithError("the copytool did not end every action");
        }
    }
    state.SetLabel(std::to_string(paths.size()) + " files");
}

}  // namespace

// Argument 0 is the large state.
BENCHMARK(PerCall_Path2Fid)->Arg(kSmall)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(PerCall_StateGet)->Arg(kSmall)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(PerCall_Request)->Arg(kSmall)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(PerCall_ChangelogAppend)->Arg(kSmall)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(ChangelogList_Lfs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(ChangelogList_File)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ChangelogClear_Lfs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(ChangelogClear_File)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(HsmFlow_Files)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
