// The changelog reader through lfs, against fake lfs programs: output as
// Lustre's lfs prints it for hostile names and job ids, children that keep
// standard output or standard error open, quiet failures, and a host that
// dies. The library is not bound (no LoadFunctions), so the reader always
// runs lfs. Each check asserts what the host is handed, and the waits are
// measured against their bounds.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "LustreAPI.h"
#include "TestSupport.h"

using namespace std::chrono;
using LustreAPI::CChangelogReader;
using LustreAPI::CChangelogRecord;

namespace {

const std::string kMdt = "lustre-MDT0000";

// Lines as Lustre 2.15's lfs prints them (lfs.c, lfs_changelog).
const std::string L10 =
    "10 01CREAT 11:00:00.000000000 2024.01.01 0x0 t=[0x200000401:0x2:0x0] ef=0xf u=1000:1000 nid=10.0.0.1@tcp "
    "p=[0x200000007:0x1:0x0] evil";
const std::string F99 =
    "99 06UNLNK 11:00:00.000000000 2024.01.01 0x1 t=[0x200000401:0x1:0x0] ef=0xf u=0:0 nid=0@lo "
    "p=[0x200000007:0x1:0x0] victim";
const std::string F11 =
    "11 06UNLNK 11:00:00.000000000 2024.01.01 0x1 t=[0x200000401:0x1:0x0] ef=0xf u=0:0 nid=0@lo "
    "p=[0x200000007:0x1:0x0] victim";
const std::string L11 =
    "11 11CLOSE 11:00:00.000000000 2024.01.01 0x2 t=[0x200000401:0x2:0x0] ef=0xf u=1000:1000 nid=10.0.0.1@tcp";
const std::string L12 =
    "12 11CLOSE 11:00:01.000000000 2024.01.01 0x2 t=[0x200000401:0x3:0x0] ef=0xf u=1000:1000 nid=10.0.0.1@tcp";

// A directory first on PATH whose lfs prints, for "lfs <arguments>", the file
// named after its arguments (blanks as '_'), and then runs the shell text of
// "<that name>.then" (for example "exec sleep 1000": an lfs that goes on
// without printing).
class FakeLfs {
public:
    FakeLfs()
    {
        testsupport::WriteFile(dir / "lfs",
                               "#!/bin/sh\n"
                               "f=\"$(dirname \"$0\")/$(echo \"$*\" | tr ' ' _)\"\n"
                               "[ -f \"$f\" ] && cat \"$f\"\n"
                               "[ -f \"$f.then\" ] && . \"$f.then\"\n"
                               "exit 0\n");
        chmod((dir / "lfs").c_str(), 0755);
    }
    // What "lfs <arguments>" prints, and what it does next.
    void Prints(const std::string& arguments, const std::string& output, const std::string& then = "") const
    {
        std::string name = arguments;
        for (char& c : name)
            if (c == ' ') c = '_';
        testsupport::WriteFile(dir / name, output);
        if (!then.empty()) testsupport::WriteFile(dir / (name + ".then"), then + "\n");
    }

    testsupport::TempDir dir;

private:
    testsupport::ScopedEnv m_path{"PATH", dir.path() + ":" + std::getenv("PATH")};
};

// "index <name> j=<job id> x=<xattr name>" of each record, until the reader
// ends, fails, waits in vain or gave most records.
std::string ReadAll(CChangelogReader& reader, milliseconds wait, std::string* failure = nullptr,
                    std::size_t most = SIZE_MAX)
{
    std::string read;
    for (bool got = true; got && most-- > 0;) {
        CChangelogRecord r;
        const CKxError error = reader.Next(r, wait, got);
        if (error.Failed()) {
            if (failure) *failure = error.GetMessages().back();
            break;
        }
        if (got) read += std::to_string(r.m_index) + " <" + r.m_name + "> j=<" + r.m_jobId + "> x=<" + r.m_xattr + ">\n";
    }
    return read;
}

// The CPU time of this process, in milliseconds.
long long CpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// No name, job id or xattr name becomes a record or moves a field: each row
// is what lfs prints for the reader's command (and for the questions the
// reader asks it), and what the host is handed.
TEST(FakeLfsReader, NoTextOfAUserBecomesARecord)
{
    struct Case {
        const char* what;
        bool follow;
        std::map<std::string, std::string> prints;  // arguments -> output
        std::string handed;
    };
    const std::string start = "changelog " + kMdt + " 10", follow = "changelog --follow " + kMdt + " 10";
    const std::string forged = "10 <evil\n" + F99 + "> j=<> x=<>\n";
    const Case cases[] = {
        {"a forged record in the middle", false, {{start, L10 + "\n" + F99 + "\n" + L11 + "\n"}},
         forged + "11 <> j=<> x=<>\n"},
        {"a forged record at the end", false,
         {{start, L10 + "\n" + F99 + "\n"}, {"changelog " + kMdt + " 10 10", L10 + "\n" + F99 + "\n"}}, forged},
        {"a forged record at the end of a following reader's output", true,
         {{follow, L10 + "\n" + F99 + "\n"},
          {"changelog " + kMdt + " 10", L10 + "\n" + F99 + "\n"},
          {"changelog " + kMdt + " 10 10", L10 + "\n" + F99 + "\n"}},
         forged},
        {"a forged next record, in a following reader's output", true,
         {{follow, L10 + "\n" + F11 + "\n" + L11 + "\n" + L12 + "\n"},
          {"changelog " + kMdt + " 10 10", L10 + "\n" + F11 + "\n"},
          {"changelog " + kMdt + " 11", L11 + "\n" + L12 + "\n"}},
         "10 <evil\n" + F11 + "> j=<> x=<>\n11 <> j=<> x=<>\n12 <> j=<> x=<>\n"},
        {"a job id holding \" ef=0x\", an xattr name holding a blank", false,
         {{start,
           "10 01CREAT 11:00:00.000000000 2024.01.01 0x0 t=[0x200000401:0x2:0x0] j=a ef=0xf.1000 ef=0xf "
           "u=1000:1000 nid=10.0.0.1@tcp p=[0x200000007:0x1:0x0] f\n"
           "11 15XATTR 11:00:00.000000000 2024.01.01 0x0 t=[0x200000401:0x2:0x0] ef=0xf u=1000:1000 "
           "nid=10.0.0.1@tcp x=user.my attr p=[0x200000007:0x1:0x0]\n"}},
         "10 <f> j=<a ef=0xf.1000> x=<>\n11 <> j=<> x=<user.my attr>\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeLfs lfs;
        for (const auto& [arguments, output] : c.prints)
            lfs.Prints(arguments, output, arguments == follow ? "exec sleep 1000" : "");
        CChangelogReader reader;
        ASSERT_FALSE(reader.Open(kMdt, 10, c.follow).Failed());
        std::string failure;
        // A following reader gives the records it has, then nothing more.
        const std::size_t records = static_cast<std::size_t>(std::count(c.handed.begin(), c.handed.end(), '>')) / 3;
        EXPECT_EQ(ReadAll(reader, c.follow ? seconds(60) : milliseconds(0), &failure, records), c.handed);
        if (c.follow) {
            EXPECT_EQ(ReadAll(reader, milliseconds(300), &failure), "");
        }
        EXPECT_EQ(failure, "");
    }
}

// A record whose end neither the output nor lfs can tell is refused, named
// by its index; nothing after it is handed out.
TEST(FakeLfsReader, WhatCannotBeToldIsRefusedByIndex)
{
    FakeLfs lfs;
    lfs.Prints("changelog " + kMdt + " 10", L10 + "\n" + F11 + "\n" + L11 + "\n" + L12 + "\n");
    lfs.Prints("changelog " + kMdt + " 10 10", "");
    CChangelogReader reader;
    ASSERT_FALSE(reader.Open(kMdt, 10, false).Failed());
    std::string failure;
    EXPECT_EQ(ReadAll(reader, milliseconds(0), &failure), "");
    EXPECT_EQ(failure, "Cannot tell where the changelog record 10 printed by lfs changelog " + kMdt +
                           " 10 ends: a line break in a name, job id or xattr name is followed by text that reads "
                           "as a record, and lfs changelog " + kMdt + " 10 10 printed nothing for it");
}

// Whatever the processes of lfs do with its output, a wait ends with its
// time (a child holds the descriptor for 1000 s: a Next that waited for it
// would not return) and costs next to no CPU; Close from another thread ends
// a wait of a minute, which then fails.
TEST(FakeLfsReader, WaitsEndOnTimeWhateverTheChildrenHold)
{
    struct Case {
        const char* what;
        bool follow;
        std::string then;
    };
    const Case cases[] = {
        // lfs ends, its child keeps standard error: the reader ends.
        {"standard error kept after the end", false, "sleep 1000 >/dev/null &"},
        // lfs ends, its child keeps standard output: the reader ends.
        {"standard output kept after the end", false, "sleep 1000 2>/dev/null &"},
        // lfs follows without printing; standard error has ended.
        {"standard error ended while following", true, "exec 2>&-; exec sleep 1000"},
        // lfs follows, its child keeps standard error.
        {"standard error kept while following", true, "sleep 1000 >/dev/null & exec sleep 1000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeLfs lfs;
        const std::string arguments = std::string("changelog ") + (c.follow ? "--follow " : "") + kMdt + " 11";
        lfs.Prints(arguments, L11 + "\n", c.then);
        lfs.Prints("changelog " + kMdt + " 11", L11 + "\n");
        CChangelogReader reader;
        ASSERT_FALSE(reader.Open(kMdt, 11, c.follow).Failed());
        CChangelogRecord r;
        bool got = false;
        ASSERT_FALSE(reader.Next(r, seconds(60), got).Failed());
        EXPECT_TRUE(got);
        // The end, or a wait of 2 s without a record.
        const milliseconds wait(2000);
        const auto started = steady_clock::now();
        const long long cpu = CpuMs();
        const CKxError error = reader.Next(r, wait, got);
        const auto waited = steady_clock::now() - started;
        EXPECT_FALSE(error.Failed()) << error.ToString();
        EXPECT_FALSE(got);
        if (!c.follow) continue;
        // A following reader's wait without a record: it lasts, and costs
        // less than a tenth of its time in CPU.
        EXPECT_GE(waited, wait);
        EXPECT_LT(CpuMs() - cpu, duration_cast<milliseconds>(waited).count() / 10);
        std::atomic<bool> failed{false};
        std::thread waiter([&] {
            CChangelogRecord w;
            bool g = false;
            failed = reader.Next(w, seconds(60), g).Failed();
        });
        // Whether or not the waiter waits already, Close ends its Next with a
        // failure; a Next that waited its minute out would end without one.
        EXPECT_FALSE(reader.Close().Failed());
        waiter.join();
        EXPECT_TRUE(failed);
        EXPECT_EQ(reader.Descriptor(), -1);
    }
}

// Without follow a wait is a time limit too: a server that never answers
// fails that Next only; the reading goes on at the next. The longest wait is
// no overflow.
TEST(FakeLfsReader, WithoutFollowAWaitIsATimeLimit)
{
    FakeLfs lfs;
    lfs.Prints("changelog " + kMdt + " 11", "", "exec sleep 1000");
    lfs.Prints("changelog " + kMdt + " 12", L12 + "\n");
    CChangelogReader reader;
    ASSERT_FALSE(reader.Open(kMdt, 11, false).Failed());
    CChangelogRecord r;
    bool got = false;
    for (int i = 0; i < 2; ++i) {
        const CKxError error = reader.Next(r, milliseconds(300), got);
        ASSERT_TRUE(error.Failed());
        EXPECT_EQ(error.GetMessages().back(),
                  "Reading the changelog of MDT " + kMdt + ": no record came within the wait of 300 ms");
    }
    EXPECT_FALSE(reader.Close().Failed());

    for (const bool follow : {false, true}) {
        if (follow) lfs.Prints("changelog --follow " + kMdt + " 12", L12 + "\n", "exec sleep 1000");
        ASSERT_FALSE(reader.Open(kMdt, 12, follow).Failed());
        ASSERT_FALSE(reader.Next(r, milliseconds::max(), got).Failed());
        EXPECT_TRUE(got);
        EXPECT_EQ(r.m_index, 12u);
    }
}

// An lfs that fails without a word is a failure, also where the host
// ignores SIGCHLD and the kernel reaps its children.
TEST(FakeLfsReader, QuietFailureFailsWithSigchldIgnored)
{
    FakeLfs lfs;
    lfs.Prints("changelog " + kMdt + " 0", L11 + "\n", "exit 5");
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGCHLD, &ignore, &saved);
    CChangelogReader reader;
    std::string failure;
    std::string read;
    if (!reader.Open(kMdt, 0, false).Failed()) read = ReadAll(reader, milliseconds(0), &failure);
    sigaction(SIGCHLD, &saved, nullptr);
    EXPECT_EQ(read, "11 <> j=<> x=<>\n");
    EXPECT_EQ(failure, "Command lfs changelog " + kMdt + " 0 failed with Error ");
}

// The processes a reader started end when the host ends, however it ends:
// a host killed while its reader follows an lfs that never prints.
TEST(FakeLfsReader, ChildrenEndWithTheHost)
{
    FakeLfs lfs;
    const std::string fifo = lfs.dir / "pid";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    lfs.Prints("changelog --follow " + kMdt + " 0", "", "echo $$ > '" + fifo + "'; exec sleep 1000");
    const pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        CChangelogReader reader;
        if (reader.Open(kMdt, 0, true).Failed()) _exit(1);
        pause();
        _exit(0);
    }
    // The fake lfs tells its pid once it runs (its exec keeps it).
    std::ifstream in(fifo);
    pid_t lfsPid = 0;
    in >> lfsPid;
    ASSERT_GT(lfsPid, 0);
    const int process = static_cast<int>(syscall(SYS_pidfd_open, lfsPid, 0));
    kill(host, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(host, &status, 0), host);
    if (process < 0) return;  // gone already
    pollfd ended{process, POLLIN, 0};
    EXPECT_EQ(poll(&ended, 1, 10000), 1) << "lfs outlived its host";
    close(process);
}

}  // namespace
