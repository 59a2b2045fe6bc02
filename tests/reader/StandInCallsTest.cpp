// The stand-in's changelog calls as Lustre's library answers them: refusals,
// the end of the log, a following reader's empty queue, and the layout each
// request gets.
#include <fcntl.h>

#include <gtest/gtest.h>
#include <lustre/lustreapi.h>

#include "TestSupport.h"

namespace {

const char kMdt[] = "lustre-MDT0000";

class StandInCalls : public testing::Test {
protected:
    void SetUp() override
    {
        const testsupport::Outcome o =
            testsupport::Shell("lustre-sim changelog-append lustre-MDT0000 CREAT --name f --jobid 'j 1' >/dev/null",
                               {{"PATH", std::string(SIM_BIN_DIR ":") + std::getenv("PATH")}});
        ASSERT_EQ(o.status, 0) << o.err;
    }
    testsupport::StandInState state;
};

TEST_F(StandInCalls, RefuseWhatLustreRefuses)
{
    void* priv = nullptr;
    const auto all = static_cast<changelog_send_flag>(CHANGELOG_FLAG_JOBID | CHANGELOG_FLAG_EXTRA_FLAGS);
    EXPECT_EQ(llapi_changelog_start(nullptr, all, kMdt, 0), -EINVAL);
    EXPECT_EQ(llapi_changelog_start(&priv, all, "lustre-MDT0009", 0), -ENOENT);
    EXPECT_EQ(llapi_changelog_start(&priv, all, kMdt, -1), -EINVAL);
    changelog_rec* rec = nullptr;
    int stranger = 0;
    EXPECT_EQ(llapi_changelog_recv(&stranger, &rec), -EINVAL);
    EXPECT_EQ(llapi_changelog_get_fd(&stranger), -EINVAL);
    EXPECT_EQ(llapi_changelog_set_xflags(&stranger, CHANGELOG_EXTRA_FLAG_UIDGID), -EINVAL);
    ASSERT_EQ(llapi_changelog_start(&priv, all, kMdt, 0), 0);
    EXPECT_EQ(llapi_changelog_recv(priv, nullptr), -EINVAL);
    EXPECT_EQ(llapi_changelog_fini(&priv), 0);
    EXPECT_EQ(priv, nullptr);
    EXPECT_EQ(llapi_changelog_fini(&priv), -EINVAL);
}

// Each request's layout: the flags asked for, the size of the parts, the extra flags word.
TEST_F(StandInCalls, RebuildEachRecordAsAsked)
{
    struct Case {
        int flags;
        unsigned xflags;
        unsigned crFlags;
        size_t size;
        const char* jobid;
        bool nameFound;
    } const cases[] = {{0, 0, 0x3000, 96, "", true},
                       {CHANGELOG_FLAG_JOBID, 0, 0x7000, 128, "j 1", true},
                       {CHANGELOG_FLAG_JOBID | CHANGELOG_FLAG_EXTRA_FLAGS, 0xf, 0xf000, 436, "j 1", true},
                       // Lustre's quirk: fewer extra fields than the record holds keep its word (0xf), so
                       // the helpers place the name after parts that were dropped (120 bytes are there).
                       {CHANGELOG_FLAG_EXTRA_FLAGS, CHANGELOG_EXTRA_FLAG_UIDGID, 0xb000, 404, "", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        void* priv = nullptr;
        ASSERT_EQ(llapi_changelog_start(&priv, static_cast<changelog_send_flag>(c.flags), kMdt, 0), 0);
        if (c.xflags) {
            ASSERT_EQ(llapi_changelog_set_xflags(priv, static_cast<changelog_send_extra_flag>(c.xflags)), 0);
        }
        changelog_rec* rec = nullptr;
        ASSERT_EQ(llapi_changelog_recv(priv, &rec), 0);
        EXPECT_EQ(rec->cr_flags, c.crFlags);
        EXPECT_EQ(changelog_rec_size(rec), c.size);
        EXPECT_STREQ(c.flags & CHANGELOG_FLAG_JOBID ? changelog_rec_jobid(rec)->cr_jobid : "", c.jobid);
        EXPECT_EQ(std::string(changelog_rec_name(rec), rec->cr_namelen) == "f", c.nameFound);
        // The record's own extra flags (all four) stay in the word, whatever was asked.
        if (c.flags & CHANGELOG_FLAG_EXTRA_FLAGS) {
            EXPECT_EQ(changelog_rec_extra_flags(rec)->cr_extra_flags, 0xfu);
        }
        EXPECT_EQ(llapi_changelog_free(&rec), 0);
        EXPECT_EQ(rec, nullptr);
        EXPECT_EQ(llapi_changelog_recv(priv, &rec), 1);
        EXPECT_EQ(rec, nullptr);
        EXPECT_EQ(llapi_changelog_fini(&priv), 0);
    }
}

TEST_F(StandInCalls, FollowingReaderWithoutBlockingGetsEagain)
{
    void* priv = nullptr;
    ASSERT_EQ(llapi_changelog_start(&priv, CHANGELOG_FLAG_FOLLOW, kMdt, 2), 0);
    const int fd = llapi_changelog_get_fd(priv);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
    changelog_rec* rec = nullptr;
    EXPECT_EQ(llapi_changelog_recv(priv, &rec), -EAGAIN);
    EXPECT_EQ(llapi_changelog_fini(&priv), 0);
}

}  // namespace
