// HSM user requests through the stand-in. One file: the exact request
// bytes, the log lines and every failure path. Many files: requests sized to
// Lustre's limit, a result per file, failed requests sent again file by file.
// Leaks are also the stress tests' and the sanitizer build's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

using testsupport::CapturingLogWriter;

constexpr const char* kRequestFunction = "int LustreAPI::HSMRequest(const char*, int, const char*, std::string&)";

class HSMRequestTest : public apitest::BoundTest {
protected:
    std::vector<std::string> MakeFiles(const std::string& dir, size_t count)
    {
        std::vector<std::string> paths;
        for (size_t i = 0; i < count; ++i) paths.push_back(state.WriteFile(dir + "/f" + std::to_string(i), "data"));
        return paths;
    }
    unsigned Queued(const std::string& path)
    {
        hsm_current_action hca{};
        std::string message;
        EXPECT_EQ(LustreAPI::HSMCurrentAction(path.c_str(), &hca, message), 0);
        return hca.hca_state == HPS_WAITING ? hca.hca_action : 0;
    }
    int Requests() { return sim.callCount("llapi_hsm_request"); }
    const std::string file = state.WriteFile("dir/data.bin", "some file contents");
};

// The one-item request as Lustre reads it: header, item, data.
std::vector<unsigned char> ExpectedRequest(int action, unsigned archive, const lu_fid& fid, const char* data)
{
    const unsigned dataLength = data ? static_cast<unsigned>(std::strlen(data)) : 0;
    const hsm_request header{static_cast<unsigned>(action), archive, 0, 1, dataLength};  // one item
    const hsm_user_item item{fid, {0, ~0ULL}};                                           // to the end of the file
    std::vector<unsigned char> bytes(sizeof header + sizeof item + dataLength);
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + sizeof header, &item, sizeof item);
    if (dataLength) std::memcpy(bytes.data() + sizeof header + sizeof item, data, dataLength);
    return bytes;
}

// HSMArchive is the archive request. The label knows archive only. Without
// an archive id the request is for archive 1; the log line names the
// HSMRequest overload that made it.
TEST_F(HSMRequestTest, RequestBytesAndRequestLine)
{
    constexpr int kArchiveOne = -1;  // the overloads without an archive id
    struct Case {
        bool viaArchive;
        int action;
        const char* data;
        const char* label;
        int archive;
    };
    const Case cases[] = {
        {false, HUA_ARCHIVE, nullptr, "archive", kArchiveOne},
        {false, HUA_ARCHIVE, "", "archive", kArchiveOne},
        {false, HUA_RELEASE, "abc", "release", kArchiveOne},
        {false, HUA_RESTORE, "x", "release", kArchiveOne},
        {true, HUA_ARCHIVE, "tag", "archive", kArchiveOne},
        {true, HUA_ARCHIVE, nullptr, "archive", kArchiveOne},
        {false, HUA_ARCHIVE, "y", "archive", 3},
        {false, HUA_RESTORE, nullptr, "release", 0},
        {true, HUA_ARCHIVE, nullptr, "archive", 7},
        {true, HUA_ARCHIVE, "z", "archive", 1},
    };
    lu_fid fid{};
    std::string message;
    ASSERT_EQ(LustreAPI::Path2FID(file, fid, message), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.viaArchive ? "HSMArchive" : "HSMRequest") << " action " << c.action
                                        << " data " << (c.data ? c.data : "null") << " archive " << c.archive);
        CapturingLogWriter log;
        message = "old";
        const bool withId = c.archive != kArchiveOne;
        const unsigned archive = withId ? static_cast<unsigned>(c.archive) : 1;
        int result = 0;
        if (c.viaArchive)
            result = withId ? LustreAPI::HSMArchive(file.c_str(), archive, c.data, message)
                            : LustreAPI::HSMArchive(file.c_str(), c.data, message);
        else
            result = withId ? LustreAPI::HSMRequest(file.c_str(), c.action, archive, c.data, message)
                            : LustreAPI::HSMRequest(file.c_str(), c.action, c.data, message);
        EXPECT_EQ(sim.LastRequestBytes(), ExpectedRequest(c.action, archive, fid, c.data));
        const lustre_sim_args alloc = sim.Args("llapi_hsm_user_request_alloc");
        EXPECT_EQ(alloc.int0, 1);
        EXPECT_EQ(alloc.int1, c.data ? static_cast<long long>(std::strlen(c.data)) : 0);
        EXPECT_STREQ(sim.Args("llapi_hsm_request").str0, file.c_str());
        EXPECT_TRUE(c.action != HUA_ARCHIVE || result == 0) << result;
        EXPECT_EQ(message, result < 0 ? std::string("llapi_hsm_request(") + file + ", " + c.label + ") failed" : "");
        EXPECT_EQ(log.Texts(), std::vector<std::string>{"HSMRequest(" + file + ", " + c.label +
                                                        ") ReparseData=" + (c.data ? c.data : "NULL")});
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_EQ(log.lines[0].function,
                  withId ? "int LustreAPI::HSMRequest(const char*, int, unsigned int, const char*, std::string&)"
                         : kRequestFunction);
    }
}

// Each call of the request path failing: Lustre's result or -errno, the
// message, the one line logged (level -1 lines are written without asking
// the level) and nothing called after the failure.
TEST_F(HSMRequestTest, EachFailingStepEndsTheRequest)
{
    // The request's open takes the lowest free descriptor, the one a probe gets.
    const int probe = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(probe, 0);
    ::close(probe);
    const std::string missing = state.mount + "/no/such/file";
    // A FIFO would block a plain open until a writer came: refused at once.
    const std::string fifo = state.mount + "/dir/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    struct Case {
        const char* failing;  // the entry point told to fail, or null
        int failResult;
        std::string path;
        int expected;
        std::string message;
        int writerLevel;
        std::string logged;  // the lines logged, each with its level
        const char* notCalled;
    };
    const Case cases[] = {
        {nullptr, 0, missing, -ENOENT, "", -5, "-1 open(" + missing + ") failed, error=No such file or directory",
         "llapi_hsm_user_request_alloc"},
        {nullptr, 0, fifo, -EINVAL, "", -5, "-1 open(" + fifo + ") failed, error=Invalid argument",
         "llapi_hsm_user_request_alloc"},
        {"llapi_hsm_user_request_alloc", -12, file, -ENOMEM, "", -5, "-1 failed to allocate HSM request",
         "llapi_fd2fid"},
        {"llapi_fd2fid", -EIO, file, -EIO, "llapi_fd2fid(" + std::to_string(probe) + ") failed", 0, "",
         "llapi_hsm_request"},
        // Only the request line: the failure itself is not logged.
        {"llapi_hsm_request", -EOPNOTSUPP, file, -EOPNOTSUPP, "llapi_hsm_request(" + file + ", archive) failed", 0,
         "0 HSMRequest(" + file + ", archive) ReparseData=NULL", nullptr},
    };
    const int fds = testsupport::OpenFdCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing ? c.failing : "open");
        sim.reset();
        CapturingLogWriter log(c.writerLevel);
        if (c.failing) sim.failNext(c.failing, c.failResult);
        std::string message = "old";
        EXPECT_EQ(LustreAPI::HSMRequest(c.path.c_str(), HUA_ARCHIVE, nullptr, message), c.expected);
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(c.notCalled ? sim.callCount(c.notCalled) : 0, 0);
        EXPECT_EQ(c.writerLevel < 0 ? log.levelQueries : 0, 0);
        std::string logged;
        for (const auto& line : log.lines) {
            EXPECT_EQ(line.function, kRequestFunction);
            logged += std::to_string(line.level) + " " + line.text;
        }
        EXPECT_EQ(logged, c.logged);
        EXPECT_EQ(testsupport::OpenFdCount(), fds) << "descriptor left open";
    }
}

TEST_F(HSMRequestTest, RequestsAreAsLargeAsLustreTakes)
{
    struct Row {
        size_t files, dataLength;
        int requests;
        unsigned lastItems;
    };
    const Row rows[] = {{52, 0, 1, 52}, {53, 0, 2, 1},   {51, 18, 1, 51},
                        {52, 18, 2, 1}, {104, 49, 3, 2}, {2, 1700, 2, 1}};
    for (const Row& r : rows) {
        const std::string name = std::to_string(r.files) + "+" + std::to_string(r.dataLength);
        SCOPED_TRACE(name);
        sim.reset();
        const std::vector<std::string> paths = MakeFiles(name, r.files);
        const std::string data(r.dataLength, 'd');
        std::vector<int> results;
        const CKxError error = LustreAPI::HSMRequestFiles(paths, HUA_ARCHIVE, 2, data, results);
        EXPECT_EQ(Requests(), r.requests);
        const std::vector<unsigned char> last = sim.LastRequestBytes();
        hsm_request header{};
        std::memcpy(&header, last.data(), sizeof header);
        EXPECT_EQ(header.hr_itemcount, r.lastItems);
        EXPECT_EQ(header.hr_data_len, r.dataLength);
        EXPECT_EQ(header.hr_archive_id, 2u);
        if (r.dataLength < 1650) {
            EXPECT_FALSE(error.Failed()) << error.ToString();
            EXPECT_EQ(results, std::vector<int>(r.files, 0));
            EXPECT_EQ(Queued(paths.front()), unsigned{HUA_ARCHIVE});
            EXPECT_EQ(Queued(paths.back()), unsigned{HUA_ARCHIVE});
        } else {  // not even one file fits: Lustre's refusal for each
            EXPECT_EQ(results, std::vector<int>(r.files, -E2BIG));
        }
    }
}

// A result per file (-2 ENOENT, -20 ENOTDIR, -95 EOPNOTSUPP, -22 EINVAL, -1
// EPERM), the requests sent, then the error's errno and message.
TEST_F(HSMRequestTest, EachFileGetsItsOwnResult)
{
    if (const std::string why = testsupport::ActAsRoot(); !why.empty()) GTEST_SKIP() << why;  // sets HS_ARCHIVED
    const auto outcome = [this](const std::vector<std::string>& paths, int action) {
        std::vector<int> results = {7};
        const CKxError error = LustreAPI::HSMRequestFiles(paths, action, 0, "", results);
        std::string text;
        for (int result : results) text += std::to_string(result) + " ";
        text += "in " + std::to_string(Requests()) + ", " + std::to_string(error.GetSystemError());
        return error.Failed() ? text + " " + error.GetMessages().back() : text;
    };
    const std::vector<std::string> ok = MakeFiles("ok", 3), released = MakeFiles("r", 3);
    const std::string dir = state.mount + "/ok/dir", outside = state.outside + "/f", missing = state.mount + "/none";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    testsupport::WriteFile(outside, "x");
    const int fds = testsupport::OpenFdCount();
    // The batch stops at the directory and goes again file by file.
    EXPECT_EQ(outcome({ok[0], missing, ok[1], ok[0] + "/x", outside, dir, ok[2]}, HUA_ARCHIVE),
              "0 -2 0 -20 -95 -22 0 in 5, 2 archive request failed for 4 of 7 files, first " + missing +
                  ": No such file or directory");
    for (const auto& path : ok) EXPECT_EQ(Queued(path), unsigned{HUA_ARCHIVE}) << path;
    // A refused request goes again file by file; a failed allocation sends nothing before they do.
    sim.reset();
    sim.failNext("llapi_hsm_request", -EAGAIN);
    EXPECT_EQ(outcome(ok, HUA_ARCHIVE), "0 0 0 in 4, 0");
    sim.reset();
    sim.failNext("llapi_hsm_user_request_alloc", -EAGAIN);
    EXPECT_EQ(outcome(ok, HUA_ARCHIVE), "0 0 0 in 3, 0");
    // A release goes file by file: every file is tried.
    std::string message;
    for (const std::string& path : {released[0], released[2]})
        ASSERT_EQ(LustreAPI::HSMStateSet(path.c_str(), HS_EXISTS | HS_ARCHIVED, 0, 1, message), 0);
    sim.reset();
    EXPECT_EQ(outcome(released, HUA_RELEASE), "0 -1 0 in 3, 1 release request failed for 1 of 3 files, first " +
                                                  released[1] + ": Operation not permitted");
    EXPECT_EQ(testsupport::ReadFile(released[2]), std::string(4, '\0'));
    sim.reset();
    EXPECT_EQ(outcome({}, HUA_ARCHIVE), "in 0, 0");
    EXPECT_EQ(testsupport::OpenFdCount(), fds);
}

// Progress: once after each llapi_hsm_request call, with the files known by
// then (those that could not be opened from the first call on), rising to
// the total, and with no descriptor of the call's still open.
TEST_F(HSMRequestTest, ProgressAfterEachRequest)
{
    std::vector<std::string> paths = MakeFiles("p", 60);
    paths.insert(paths.begin() + 10, state.mount + "/p/missing");
    paths.push_back(state.mount + "/p/also missing");
    const int fds = testsupport::OpenFdCount();
    std::vector<std::pair<size_t, size_t>> calls;
    std::vector<int> fdsInCalls;
    const LustreAPI::HSMProgress progress = [&](size_t done, size_t total) {
        calls.emplace_back(done, total);
        fdsInCalls.push_back(testsupport::OpenFdCount());
    };
    const auto outcome = [&](const std::vector<std::string>& files) {
        calls.clear();
        fdsInCalls.clear();
        std::vector<int> results;
        LustreAPI::HSMRequestFiles(files, HUA_ARCHIVE, 0, "", results, progress);
        std::string text = std::to_string(Requests()) + " requests:";
        for (const auto& [done, total] : calls) text += " " + std::to_string(done) + "/" + std::to_string(total);
        EXPECT_EQ(fdsInCalls, std::vector<int>(calls.size(), fds));
        return text;
    };
    // 52 files fit a request: 52 and the other 8, the 2 missing counted from the first call on.
    EXPECT_EQ(outcome(paths), "2 requests: 54/62 62/62");
    // The first request refused: sent again file by file, each call one request.
    sim.reset();
    sim.failNext("llapi_hsm_request", -EAGAIN);
    std::string expected = "54 requests: 2/62";
    for (size_t done = 3; done <= 54; ++done) expected += " " + std::to_string(done) + "/62";
    EXPECT_EQ(outcome(paths), expected + " 62/62");
    // Nothing to send: once, all known; no paths: never.
    sim.reset();
    EXPECT_EQ(outcome({paths[10], paths.back()}), "0 requests: 2/2");
    EXPECT_EQ(outcome({}), "0 requests:");
}

}  // namespace
