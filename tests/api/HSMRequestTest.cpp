// HSM user requests through the stand-in: the exact request bytes, the log
// lines, and every failure path. Descriptors left open and requests not
// freed are the stress tests' and the sanitizer build's.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

using apitest::CapturingLogWriter;

constexpr const char* kRequestFunction = "int LustreAPI::HSMRequest(const char*, int, const char*, std::string&)";

class HSMRequestTest : public apitest::BoundTest {
protected:
    void SetUp() override
    {
        BoundTest::SetUp();
        file = state.WriteFile("dir/data.bin", "some file contents");
    }
    std::string file;
};

// The one-item request as Lustre reads it: header, item, data.
std::vector<unsigned char> ExpectedRequest(int action, const lu_fid& fid, const char* data)
{
    const unsigned dataLength = data ? static_cast<unsigned>(std::strlen(data)) : 0;
    const hsm_request header{static_cast<unsigned>(action), 1, 0, 1, dataLength};  // archive 1, one item
    const hsm_user_item item{fid, {0, ~0ULL}};                                     // to the end of the file
    std::vector<unsigned char> bytes(sizeof header + sizeof item + dataLength);
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + sizeof header, &item, sizeof item);
    if (dataLength) std::memcpy(bytes.data() + sizeof header + sizeof item, data, dataLength);
    return bytes;
}

// HSMArchive is the archive request. The label knows archive only.
TEST_F(HSMRequestTest, RequestBytesAndRequestLine)
{
    struct Case {
        bool viaArchive;
        int action;
        const char* data;
        const char* label;
    };
    const Case cases[] = {
        {false, HUA_ARCHIVE, nullptr, "archive"}, {false, HUA_ARCHIVE, "", "archive"},
        {false, HUA_RELEASE, "abc", "release"},   {false, HUA_RESTORE, "x", "release"},
        {true, HUA_ARCHIVE, "tag", "archive"},    {true, HUA_ARCHIVE, nullptr, "archive"},
    };
    lu_fid fid{};
    std::string message;
    ASSERT_EQ(LustreAPI::Path2FID(file, fid, message), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.viaArchive ? "HSMArchive" : "HSMRequest") << " action " << c.action
                                        << " data " << (c.data ? c.data : "null"));
        CapturingLogWriter log;
        message = "old";
        const int result = c.viaArchive ? LustreAPI::HSMArchive(file.c_str(), c.data, message)
                                        : LustreAPI::HSMRequest(file.c_str(), c.action, c.data, message);
        EXPECT_EQ(sim.LastRequestBytes(), ExpectedRequest(c.action, fid, c.data));
        const lustre_sim_args alloc = sim.Args("llapi_hsm_user_request_alloc");
        EXPECT_EQ(alloc.int0, 1);
        EXPECT_EQ(alloc.int1, c.data ? static_cast<long long>(std::strlen(c.data)) : 0);
        EXPECT_STREQ(sim.Args("llapi_hsm_request").str0, file.c_str());
        EXPECT_TRUE(c.action != HUA_ARCHIVE || result == 0) << result;
        EXPECT_EQ(message, result < 0 ? std::string("llapi_hsm_request(") + file + ", " + c.label + ") failed" : "");
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_EQ(log.lines[0].level, 0);
        EXPECT_EQ(log.lines[0].function, kRequestFunction);
        EXPECT_EQ(log.lines[0].text,
                  "HSMRequest(" + file + ", " + c.label + ") ReparseData=" + (c.data ? c.data : "NULL"));
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
    struct Case {
        const char* failing;  // the entry point told to fail, or null
        int failResult;
        std::string path;
        int expected;
        std::string message;
        int writerLevel;
        std::string logged;  // the only line logged, or none
        const char* notCalled;
    };
    const Case cases[] = {
        {nullptr, 0, missing, -ENOENT, "", -5, "open(" + missing + ") failed, error=No such file or directory",
         "llapi_hsm_user_request_alloc"},
        {"llapi_hsm_user_request_alloc", -12, file, -ENOMEM, "", -5, "failed to allocate HSM request", "llapi_fd2fid"},
        {"llapi_fd2fid", -EIO, file, -EIO, "llapi_fd2fid(" + std::to_string(probe) + ") failed", 0, "",
         "llapi_hsm_request"},
        // Only the request line: the failure itself is not logged.
        {"llapi_hsm_request", -EOPNOTSUPP, file, -EOPNOTSUPP, "llapi_hsm_request(" + file + ", archive) failed", 0,
         "HSMRequest(" + file + ", archive) ReparseData=NULL", nullptr},
    };
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
        ASSERT_EQ(log.lines.size(), c.logged.empty() ? 0u : 1u);
        if (c.logged.empty()) continue;
        EXPECT_EQ(log.lines[0].level, c.writerLevel < 0 ? -1 : 0);
        EXPECT_EQ(log.lines[0].function, kRequestFunction);
        EXPECT_EQ(log.lines[0].text, c.logged);
    }
}

}  // namespace
