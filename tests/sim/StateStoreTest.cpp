// The state store under crashes: tools and library callers killed at random
// moments while they change it; whatever they reported done must be there.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "SimFixture.h"

namespace simtest {
namespace {

// Starts body in a child that leads its own process group (so that a kill
// reaches what it runs); the child never returns.
pid_t Spawn(const std::function<void()>& body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        body();
        _exit(0);
    }
    setpgid(pid, pid);
    return pid;
}

// Counts the lines written to path so far (each is one completed change).
size_t LinesIn(const std::string& path)
{
    const std::string text = ReadFile(path);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

using SimStateStoreTest = SimTest;

// Each round kills the writers once every one of them has been seen to
// complete a few changes more (a number drawn anew per writer and round), so
// the kill falls at whatever point of the next change each has reached, on a
// slow machine as on a fast one: what decides is what was done, not how long
// it took.
TEST_F(SimStateStoreTest, EveryCompletedChangeSurvivesKilledWriters)
{
    std::mt19937 rng(20240611);
    std::vector<std::string> records, files;  // one file per writer
    for (int w = 0; w < 2; ++w) {
        records.push_back(sandbox.dir / ("records." + std::to_string(w)));
        files.push_back(sandbox.dir / ("files." + std::to_string(w)));
        testsupport::WriteFile(records.back(), "");
        testsupport::WriteFile(files.back(), "");
    }
    for (int round = 0; round < 10; ++round) {
        std::vector<pid_t> workers;
        std::vector<std::pair<std::string, size_t>> awaited;  // a writer's file, the lines to wait for
        for (int w = 0; w < 2; ++w) {
            // A tool: each index it prints was appended.
            const std::string loop = "while :; do " + std::string(LUSTRESIM_BIN_DIR) +
                                     "/lustre-sim changelog-append lustre-MDT0000 CREAT --name gone >> " + records[w] +
                                     "; done";
            workers.push_back(Spawn([&] { execl("/bin/sh", "sh", "-c", loop.c_str(), nullptr); }));
            // A library caller: each line names a file whose FID is stored
            // and whose archive is queued.
            const std::string dir = std::to_string(round * 2 + w);
            workers.push_back(Spawn([&] {
                const int fd = open(files[w].c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                for (int n = 0;; ++n) {
                    const std::string path = MakeFile(dir + "/" + std::to_string(n));
                    lu_fid fid{};
                    if (api.path2fid(path.c_str(), &fid) != 0 || Submit(path, HUA_ARCHIVE, 1) != 0) _exit(1);
                    const std::string line = path + " " + FidText(fid) + "\n";
                    if (write(fd, line.data(), line.size()) < 0) _exit(1);
                }
            }));
            awaited.emplace_back(records[w], LinesIn(records[w]) + 1 + rng() % 5);
            awaited.emplace_back(files[w], LinesIn(files[w]) + 1 + rng() % 5);
        }
        // Until each writer has done its share; a writer that ended on its
        // own failed.
        bool done = false, ended = false;
        while (!done && !ended) {
            ended = std::any_of(workers.begin(), workers.end(),
                                [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
            done = std::all_of(awaited.begin(), awaited.end(),
                               [](const auto& file) { return LinesIn(file.first) >= file.second; });
            if (!done) poll(nullptr, 0, 2);
        }
        for (pid_t pid : workers) kill(-pid, SIGKILL);
        for (pid_t pid : workers) waitpid(pid, nullptr, 0);
        ASSERT_FALSE(ended) << "a writer ended on its own in round " << round;
    }

    // The records: indexes from 1 without a gap, every reported one there.
    const testsupport::Outcome log = Tool({"lfs", "changelog", "lustre-MDT0000"});
    ASSERT_EQ(log.status, 0) << log.err;
    std::istringstream lines(log.out);
    std::set<std::string> fids;
    unsigned long long count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_EQ(line.substr(0, line.find(' ')), std::to_string(count + 1));
        const size_t t = line.find(" t=");
        fids.insert(line.substr(t + 3, line.find(' ', t + 1) - t - 3));
    }
    size_t appended = 0, madeCount = 0;
    for (int w = 0; w < 2; ++w) {
        std::istringstream reported(ReadFile(records[w]));
        for (unsigned long long index = 0; reported >> index; ++appended) EXPECT_LE(index, count);

        // The files: each keeps its FID and its queued archive.
        std::istringstream done(ReadFile(files[w]));
        for (std::string path, fid; done >> path >> fid; ++madeCount) {
            EXPECT_EQ(FidText(FidOf(path)), fid) << path;
            fids.insert(fid);
            if (madeCount % 10 == 0) {
                EXPECT_EQ(Tool({"lfs", "hsm_action", path}).out, path + ": ARCHIVE waiting (from 0 to EOF)\n");
            }
        }
    }
    EXPECT_GE(appended, 20u);
    EXPECT_GE(madeCount, 20u);
    // One allocator: no FID went to two objects, records' or files'.
    EXPECT_EQ(fids.size(), count + madeCount);
}

TEST_F(SimStateStoreTest, PopulateMakesFilesWithFidsSizesAndTheirRecords)
{
    for (const char* count : {"2500", "3"}) ASSERT_EQ(Tool({"lustre-sim", "populate", "lustre", count}).status, 0);
    const std::string last = mnt + "/populated.1/d2/f2499";
    EXPECT_EQ(std::filesystem::file_size(last), (2499u * 7919 % 1025) * 1024);
    EXPECT_TRUE(std::filesystem::exists(mnt + "/populated.2/d0/f2"));
    // Every file and directory logged once, each with the FID it has.
    const std::string log =
        Tool({"lfs", "changelog", "lustre-MDT0000"}).out + Tool({"lfs", "changelog", "lustre-MDT0001"}).out;
    std::istringstream lines(log);
    std::map<std::string, std::string> fidOf;  // name -> FID, by the records
    for (std::string line; std::getline(lines, line);) {
        const size_t t = line.find(" t=");
        fidOf[line.substr(line.rfind(' ') + 1)] = line.substr(t + 3, line.find(' ', t + 1) - t - 3);
    }
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2500 + 3 + 1 + 3 + 1 + 1);
    EXPECT_EQ(fidOf["f2499"], FidText(FidOf(last)));
    EXPECT_EQ(fidOf["populated.2"], FidText(FidOf(mnt + "/populated.2")));
}

TEST_F(SimStateStoreTest, AnOlderStateDirectoryIsRefusedWithHowToMakeANewOne)
{
    std::filesystem::create_directories(sandbox.dir / "lib");
    testsupport::WriteFile(sandbox.dir / "lib/fids", "next lustre 0 200000400 2\n");
    // lfs reads through the library, which cannot start the reader.
    const testsupport::Outcome out = Tool({"lfs", "changelog", "lustre-MDT0000"});
    EXPECT_EQ(out.status, ENOENT);
    EXPECT_EQ(out.err, "liblustreapi stand-in: " + sandbox.dir.path() +
                           " holds the state of an older stand-in (lib/fids), which this one does not read: make a "
                           "new state directory with 'lustre-sim init DIR' and set it up again\n"
                           "lfs changelog: cannot start changelog: No such file or directory\n");
    EXPECT_FALSE(std::filesystem::exists(sandbox.dir / "state.db"));
}

}  // namespace
}  // namespace simtest
