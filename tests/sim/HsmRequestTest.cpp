// llapi_hsm_user_request_alloc and the checks of llapi_hsm_request.
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "SimFixture.h"

namespace simtest {
namespace {

using Request = std::unique_ptr<hsm_user_request, decltype(&free)>;

class SimHsmRequestTest : public SimTest {
protected:
    // A request with the items' FIDs, the whole file as extent.
    Request Make(unsigned action, const std::vector<lu_fid>& fids, unsigned archive = 1)
    {
        Request hur(api.user_request_alloc(static_cast<int>(fids.size()), 0), &free);
        hur->hur_request.hr_action = action;
        hur->hur_request.hr_archive_id = archive;
        hur->hur_request.hr_itemcount = static_cast<unsigned>(fids.size());
        for (size_t i = 0; i < fids.size(); ++i) {
            memcpy(&hur->hur_user_item[i].hui_fid, &fids[i], sizeof fids[i]);
            hur->hur_user_item[i].hui_extent.length = ~0ULL;
        }
        return hur;
    }

    // Whether a copytool on every archive finds anything queued.
    bool Queued()
    {
        hsm_copytool_private* ct = nullptr;
        EXPECT_EQ(api.copytool_register(&ct, mnt.c_str(), 0, nullptr, O_NONBLOCK), 0);
        hsm_action_list* hal = nullptr;
        int size = 0;
        const int rc = api.copytool_recv(ct, &hal, &size);
        EXPECT_TRUE(rc == 0 || rc == -EAGAIN) << rc;
        EXPECT_EQ(api.copytool_unregister(&ct), 0);
        return rc == 0;
    }
};

TEST_F(SimHsmRequestTest, AllocSizesAndZeroesTheWholeBlock)
{
    struct Row {
        int items, len;
    } rows[] = {{1, 0}, {1, 3}, {3, 17}, {0, 0}};
    for (const auto& row : rows) {
        Request hur(api.user_request_alloc(row.items, row.len), &free);
        ASSERT_TRUE(hur);
        const size_t size = 24 + 32 * static_cast<size_t>(row.items) + static_cast<size_t>(row.len);
        const auto* bytes = reinterpret_cast<const unsigned char*>(hur.get());
        // Under AddressSanitizer a short block fails here.
        for (size_t i = 0; i < size; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
        EXPECT_EQ(hur->hur_request.hr_itemcount, 0u);
    }
    EXPECT_EQ(api.user_request_alloc(-1, 0), nullptr);
    EXPECT_EQ(api.user_request_alloc(1, -5), nullptr);
}

TEST_F(SimHsmRequestTest, BadRequestsAreRejectedAndQueueNothing)
{
    const lu_fid file = FidOf(MakeFile("file"));
    const lu_fid dir = FidOf(MakeFile("dir/x").substr(0, mnt.size() + 4));
    const lu_fid unknown{0x200000400ULL, 0x7777, 0};
    struct Row {
        const char* what;
        Request hur;
        std::string path;
        int rc;
    };
    std::vector<Row> rows;
    rows.push_back({"no items: nothing is sent", Make(HUA_ARCHIVE, {}), mnt, 0});
    rows.push_back({"action 2", Make(2, {file}), mnt, -EINVAL});
    rows.push_back({"HSMA code as action", Make(HSMA_ARCHIVE, {file}), mnt, -EINVAL});
    rows.push_back({"unknown FID", Make(HUA_ARCHIVE, {unknown, file}), mnt, -ENOENT});
    rows.push_back({"directory", Make(HUA_ARCHIVE, {dir}), mnt, -EINVAL});
    rows.push_back({"insane FID", Make(HUA_ARCHIVE, {{0x200000400ULL, 1, 3}}), mnt, -EINVAL});
    rows.push_back({"outside Lustre", Make(HUA_ARCHIVE, {file}), outside, -ENODEV});
    rows.push_back({"release unarchived", Make(HUA_RELEASE, {file}), mnt, -EPERM});
    std::vector<lu_fid> many(53, file);  // 24 + 53 * 32 = 1720 bytes: over one MDS request
    rows.push_back({"too many items", Make(HUA_ARCHIVE, many), mnt, -E2BIG});
    Request lying = Make(HUA_ARCHIVE, {file});
    lying->hur_request.hr_itemcount = 0xffffffffu;  // must not be read past its one item
    rows.push_back({"item count beyond the block", std::move(lying), mnt, -E2BIG});
    Request longData = Make(HUA_ARCHIVE, {file});
    longData->hur_request.hr_data_len = 0x7fffffffu;
    rows.push_back({"data length beyond the block", std::move(longData), mnt, -E2BIG});
    for (const auto& row : rows) EXPECT_EQ(api.request(row.path.c_str(), row.hur.get()), row.rc) << row.what;
    EXPECT_EQ(api.request(mnt.c_str(), nullptr), -EINVAL);
    EXPECT_EQ(api.request(nullptr, rows[0].hur.get()), -EINVAL);
    EXPECT_FALSE(Queued());

    // The largest request that fits is taken.
    std::vector<lu_fid> fits(52, file);
    EXPECT_EQ(api.request(mnt.c_str(), Make(HUA_ARCHIVE, fits).get()), 0);
    EXPECT_TRUE(Queued());
}

TEST_F(SimHsmRequestTest, OnlyNeededActionsAreQueued)
{
    const std::string path = MakeFile("file", "contents");
    // Nothing to remove before the file is archived (nor to restore: see
    // the 2.15 session); NONE and CANCEL are accepted and queue nothing.
    for (int action : {HUA_REMOVE, HUA_NONE, HUA_CANCEL}) {
        EXPECT_EQ(Submit(path, action, 1), 0) << action;
        EXPECT_FALSE(Queued()) << action;
    }
    // CANCEL drops an archive still waiting for a copytool.
    ASSERT_EQ(Submit(path, HUA_ARCHIVE, 1), 0);
    ASSERT_EQ(Submit(path, HUA_CANCEL, 1), 0);
    EXPECT_FALSE(Queued());
}

}  // namespace
}  // namespace simtest
