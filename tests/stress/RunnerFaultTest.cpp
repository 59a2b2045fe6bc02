// Commands that misbehave and hosts in poor shape: the runner and RunCommand
// must come back with the right outcome, leave no descriptor behind and
// never hang or crash.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LustreAPI.h"
#include "TestSupport.h"
#include "ZqLib.h"

namespace {

using namespace std::chrono_literals;

using testsupport::TempDir;

// The numbers a command wrote to file, one per line, once it has written
// count of them (waits up to 20 s).
std::vector<pid_t> WaitForPids(const std::string& file, size_t count)
{
    for (int i = 0; i < 2000; ++i) {
        std::ifstream in(file);
        std::vector<pid_t> pids;
        for (pid_t p; in >> p;) pids.push_back(p);
        if (pids.size() >= count) return pids;
        std::this_thread::sleep_for(10ms);
    }
    return {};
}

std::string LastMessage(const CKxError& e)
{
    const auto m = e.GetMessages();
    return m.empty() ? "" : m.back();
}

TEST(RunnerFaults, CommandThatHangsUntilKilledReturnsAsFailed)
{
    TempDir dir;
    const std::string pidFile = dir / "pid";
    const std::string cmd = "echo $$ > " + pidFile + "; exec sleep 600";
    const int fdsBefore = testsupport::OpenFdCount();
    auto run = std::async(std::launch::async, [&] {
        std::list<std::string> lines{"kept"};
        CKxError e = LustreAPI::RunCommand(cmd, lines);
        return std::make_pair(e, lines);
    });
    const auto pids = WaitForPids(pidFile, 1);
    ASSERT_EQ(1u, pids.size());
    ASSERT_EQ(0, kill(pids[0], SIGKILL));
    ASSERT_EQ(std::future_status::ready, run.wait_for(60s)) << "RunCommand still waiting after the kill";
    const auto [e, lines] = run.get();
    EXPECT_TRUE(e.Failed());
    EXPECT_EQ("Command " + cmd + " failed with Error ", LastMessage(e));
    EXPECT_EQ(std::list<std::string>{"kept"}, lines);
    EXPECT_EQ(fdsBefore, testsupport::OpenFdCount());
}

struct EarlyClose {
    const char* name;
    const char* command;
    bool succeeds;
    std::list<std::string> lines;  // on success
    const char* errorText;         // on failure: after "failed with Error "
};

TEST(RunnerFaults, CommandsThatCloseTheirOutputEarly)
{
    const EarlyClose rows[] = {
        {"closed before writing", "exec 1>&-; echo gone >&2; exit 0", false, {}, "gone\n"},
        {"closed after writing", "printf 'a\\nb\\n'; exec 1>&-; sleep 0.2; echo late >&2", true, {"a", "b", ""}, ""},
        {"both closed, then waits", "printf x; exec 1>&- 2>&-; sleep 0.2; exit 0", true, {"x"}, ""},
        {"closed, then fails", "printf 'x\\n'; exec 1>&-; exit 4", false, {}, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::list<std::string> lines;
        const CKxError e = LustreAPI::RunCommand(row.command, lines);
        EXPECT_EQ(!row.succeeds, e.Failed());
        if (row.succeeds)
            EXPECT_EQ(row.lines, lines);
        else
            EXPECT_EQ(std::string("Command ") + row.command + " failed with Error " + row.errorText, LastMessage(e));
    }
}

// Lowers RLIMIT_NOFILE and fills the table up to it; gives back descriptors
// on request; restores everything on destruction.
class FdExhaustion {
public:
    FdExhaustion()
    {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        int highest = 0;
        for (int fd = 0; fd < 4096; ++fd)
            if (fcntl(fd, F_GETFD) >= 0) highest = fd;
        rlimit low = m_saved;
        low.rlim_cur = static_cast<rlim_t>(highest + 40);
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) m_held.push_back(fd);
        m_errno = errno;
    }
    ~FdExhaustion()
    {
        for (int fd : m_held) close(fd);
        setrlimit(RLIMIT_NOFILE, &m_saved);
    }
    bool Exhausted() const { return m_errno == EMFILE && !m_held.empty(); }
    void Release(size_t n)
    {
        for (; n > 0 && !m_held.empty(); --n) {
            close(m_held.back());
            m_held.pop_back();
        }
    }

private:
    rlimit m_saved{};
    std::vector<int> m_held;
    int m_errno = 0;
};

TEST(RunnerFaults, NearlyExhaustedDescriptorsFailCleanlyThenRecover)
{
    FdExhaustion table;
    ASSERT_TRUE(table.Exhausted()) << "could not fill the descriptor table";
    bool sawFailure = false, sawSuccess = false;
    // From no free descriptor to enough for both pipes and the child's
    // /dev/null. UBSan checks a virtual call through a pipe of its own and
    // takes an object for a bad one when it cannot make it, so its builds
    // keep two descriptors free.
#ifdef STRESS_UBSAN_VPTR
    const size_t fewest = 2;
#else
    const size_t fewest = 0;
#endif
    table.Release(fewest);
    for (size_t freed = fewest; freed <= 6; table.Release(1), ++freed) {
        SCOPED_TRACE("free descriptors: " + std::to_string(freed));
        const int before = testsupport::OpenFdCount();
        std::string out, err;
        const int rc = ZqProcess::system("echo ok", &out, &err, 0, false);
        if (rc == 0) {
            sawSuccess = true;
            EXPECT_EQ("ok\n", out);
        } else {
            sawFailure = true;
            EXPECT_EQ(-1, rc);
            EXPECT_NE(std::string::npos, err.find("Too many open files")) << err;
        }
        std::list<std::string> lines;
        const CKxError e = LustreAPI::RunCommand("echo ok", lines);
        EXPECT_EQ(rc != 0, e.Failed());
        EXPECT_EQ(before, testsupport::OpenFdCount()) << "descriptors leaked";
    }
    EXPECT_TRUE(sawFailure);
    EXPECT_TRUE(sawSuccess);
}

}  // namespace
