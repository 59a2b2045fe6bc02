// A host short of descriptors: the runner and RunCommand must fail cleanly,
// leave no descriptor behind and work again once descriptors are free.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LustreAPI.h"
#include "TestSupport.h"
#include "ZqLib.h"

namespace {

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

// RunCommand's time limit, on a command that ended with 0 while a daemon it
// started (in a session of its own) keeps the output: the error says so.
TEST(RunnerFaults, TimeLimitNamesACommandThatEndedButKeptItsOutput)
{
    std::list<std::string> lines{"kept"};
    const std::string command = "setsid sleep 60 & echo started";
    const CKxError error = LustreAPI::RunCommand(command, lines, std::chrono::milliseconds(300));
    ASSERT_TRUE(error.Failed());
    EXPECT_EQ(error.GetMessages().back(), "Command " + command +
                                              " was ended: it had ended, but its output was still open when its time "
                                              "limit of 300 ms passed");
    EXPECT_EQ(lines, std::list<std::string>{"kept"});
}

}  // namespace
