// Many files in one call: requests sized to Lustre's limit, a result per
// file, failed requests sent again file by file, nothing left open.
#include <sys/stat.h>

#include <cstring>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

using apitest::BoundTest;

class ApiHsmRequestFiles : public BoundTest {
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
};

TEST_F(ApiHsmRequestFiles, RequestsAreAsLargeAsLustreTakes)
{
    struct Row {
        size_t files;
        size_t dataLength;
        int requests;
        unsigned lastItems;
    };
    const Row rows[] = {{52, 0, 1, 52}, {53, 0, 2, 1},   {51, 18, 1, 51},
                        {52, 18, 2, 1}, {104, 49, 3, 2}, {2, 1700, 2, 1}};
    int row = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(row);
        sim.reset();
        const std::vector<std::string> paths = MakeFiles("row" + std::to_string(row++), r.files);
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

TEST_F(ApiHsmRequestFiles, EachFileGetsItsOwnResult)
{
    const std::vector<std::string> ok = MakeFiles("ok", 3);
    const std::string dir = state.mount + "/ok/dir";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    const std::string outside = state.outside + "/f";
    testsupport::WriteFile(outside, "x");
    const std::string missing = state.mount + "/missing";
    const std::vector<std::string> paths = {ok[0], missing, ok[1], ok[0] + "/x", outside, dir, ok[2]};

    const int fds = apitest::OpenFdCount();
    std::vector<int> results = {7};
    const CKxError error = LustreAPI::HSMRequestFiles(paths, HUA_ARCHIVE, 0, "", results);
    EXPECT_EQ(apitest::OpenFdCount(), fds);
    EXPECT_EQ(results, (std::vector<int>{0, -ENOENT, 0, -ENOTDIR, -EOPNOTSUPP, -EINVAL, 0}));
    // The batch stopped at the directory; sent again file by file.
    EXPECT_EQ(Requests(), 5);
    for (const auto& path : ok) EXPECT_EQ(Queued(path), unsigned{HUA_ARCHIVE}) << path;
    EXPECT_EQ(error.GetSystemError(), ENOENT);
    EXPECT_EQ(error.GetMessages().back(),
              "archive request failed for 4 of 7 files, first " + missing + ": No such file or directory");
}

TEST_F(ApiHsmRequestFiles, AFailedRequestIsSentAgainFileByFile)
{
    const std::vector<std::string> paths = MakeFiles("d", 3);
    struct Row {
        const char* entry;
        int requests;
    };
    // A refused request is sent again whole file by file; an allocation
    // that failed sends nothing before the files go one by one.
    const Row rows[] = {{"llapi_hsm_request", 4}, {"llapi_hsm_user_request_alloc", 3}};
    const int fds = apitest::OpenFdCount();
    for (const Row& row : rows) {
        sim.reset();
        sim.failNext(row.entry, -EAGAIN);
        std::vector<int> results;
        EXPECT_FALSE(LustreAPI::HSMRequestFiles(paths, HUA_ARCHIVE, 0, "", results).Failed()) << row.entry;
        EXPECT_EQ(results, std::vector<int>(3, 0)) << row.entry;
        EXPECT_EQ(Requests(), row.requests) << row.entry;
    }
    EXPECT_EQ(apitest::OpenFdCount(), fds);

    std::vector<int> results = {1, 2};
    EXPECT_FALSE(LustreAPI::HSMRequestFiles({}, HUA_ARCHIVE, 0, "", results).Failed());
    EXPECT_TRUE(results.empty());
}

TEST_F(ApiHsmRequestFiles, ReleaseGoesFileByFile)
{
    const std::vector<std::string> paths = MakeFiles("r", 3);
    std::string message;
    for (const std::string& path : {paths[0], paths[2]})
        ASSERT_EQ(LustreAPI::HSMStateSet(path.c_str(), HS_EXISTS | HS_ARCHIVED, 0, 1, message), 0);
    std::vector<int> results;
    const CKxError error = LustreAPI::HSMRequestFiles(paths, HUA_RELEASE, 0, "", results);
    EXPECT_EQ(results, (std::vector<int>{0, -EPERM, 0}));
    EXPECT_EQ(Requests(), 3);
    EXPECT_EQ(error.GetMessages().back(),
              "release request failed for 1 of 3 files, first " + paths[1] + ": Operation not permitted");
    EXPECT_EQ(apitest::ReadFile(paths[2]), std::string(4, '\0'));
}

}  // namespace
