// RunCommand of a trivial command against posix_spawn of /bin/sh -c with the
// same pipes, and both against a fork-based runner while the process holds
// a large amount of touched memory (LUSTREAPI_BENCH_HOLD_MIB, default 4096).
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "LustreAPI.h"

extern char** environ;

namespace {

const char kCommand[] = "echo ok";

struct Pipes {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    bool Open() { return pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0; }
    void CloseWriteEnds()
    {
        close(out[1]);
        close(err[1]);
    }
};

// Reads both pipes to end of file, as the host's runner does, then reaps.
int Collect(Pipes& p, pid_t pid, std::string& out, std::string& err)
{
    pollfd fds[2] = {{p.out[0], POLLIN, 0}, {p.err[0], POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

int SpawnRun(const char* command, std::string& out, std::string& err)
{
    Pipes p;
    if (!p.Open()) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, p.out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, p.err[1], 2);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command), nullptr};
    pid_t pid = -1;
    const int e = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    p.CloseWriteEnds();
    if (e != 0) {
        close(p.out[0]);
        close(p.err[0]);
        return -1;
    }
    return Collect(p, pid, out, err);
}

int ForkRun(const char* command, std::string& out, std::string& err)
{
    Pipes p;
    if (!p.Open()) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(p.out[1], 1);
        dup2(p.err[1], 2);
        setsid();
        execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    p.CloseWriteEnds();
    if (pid < 0) {
        close(p.out[0]);
        close(p.err[0]);
        return -1;
    }
    return Collect(p, pid, out, err);
}

size_t HeldMebibytes()
{
    size_t mebibytes = 4096;
    if (const char* text = std::getenv("LUSTREAPI_BENCH_HOLD_MIB")) {
        const char* end = text + std::strlen(text);
        if (std::from_chars(text, end, mebibytes).ptr != end) mebibytes = 4096;
    }
    return mebibytes;
}

void RunLibrary(benchmark::State& state)
{
    for (auto _ : state) {
        std::list<std::string> lines;
        if (LustreAPI::RunCommand(kCommand, lines).Failed()) return state.SkipWithError("RunCommand failed");
        benchmark::DoNotOptimize(lines.size());
    }
}

template <int (*Runner)(const char*, std::string&, std::string&)>
void RunFloor(benchmark::State& state)
{
    for (auto _ : state) {
        std::string out, err;
        if (Runner(kCommand, out, err) != 0 || out != "ok\n") return state.SkipWithError("command failed");
    }
}

void RunCommand_Library(benchmark::State& state) { RunLibrary(state); }
void RunCommand_Floor(benchmark::State& state) { RunFloor<SpawnRun>(state); }

void HeldMemory(benchmark::State& state)
{
    state.SetLabel(std::to_string(bench::HoldMemory(HeldMebibytes())) + " MiB held");
}
void RunCommandHeld_Library(benchmark::State& state)
{
    HeldMemory(state);
    RunLibrary(state);
}
void RunCommandHeld_Spawn(benchmark::State& state)
{
    HeldMemory(state);
    RunFloor<SpawnRun>(state);
}
void RunCommandHeld_Fork(benchmark::State& state)
{
    HeldMemory(state);
    RunFloor<ForkRun>(state);
}

}  // namespace

BENCHMARK(RunCommand_Library)->UseRealTime();
BENCHMARK(RunCommand_Floor)->UseRealTime();
BENCHMARK(RunCommandHeld_Library)->UseRealTime();
BENCHMARK(RunCommandHeld_Spawn)->UseRealTime();
BENCHMARK(RunCommandHeld_Fork)->UseRealTime();
