// The lustre_sim_* control interface.
#include <cerrno>
#include <cstring>
#include <memory>

#include "SimFixture.h"

namespace simtest {
namespace {

using SimControlTest = SimTest;

TEST_F(SimControlTest, InjectedFailureReplacesOneCallOnly)
{
    const std::string path = MakeFile("f");
    api.fail_next("llapi_path2fid", -EIO);
    lu_fid fid{7, 7, 7};
    EXPECT_EQ(api.path2fid(path.c_str(), &fid), -EIO);
    EXPECT_EQ(fid, (lu_fid{7, 7, 7}));  // nothing done
    EXPECT_EQ(api.path2fid(path.c_str(), &fid), 0);
    EXPECT_EQ(api.call_count("llapi_path2fid"), 2);

    // Any result, even a success value, is returned as given.
    api.fail_next("llapi_get_mdt_index_by_fid", 5);
    int idx = -1;
    EXPECT_EQ(api.get_mdt_index_by_fid(-1, &fid, &idx), 5);
    EXPECT_EQ(idx, -1);

    api.fail_next("llapi_hsm_user_request_alloc", 0);
    EXPECT_EQ(api.user_request_alloc(1, 0), nullptr);
    std::unique_ptr<hsm_user_request, decltype(&free)> hur(api.user_request_alloc(1, 0), &free);
    EXPECT_NE(hur, nullptr);

    api.fail_next("llapi_fd2fid", -ENOTTY);
    api.fail_next("llapi_fd2fid", -EPERM);  // replaces the first
    api.fail_next("llapi_search_fsname", -EIO);
    api.fail_clear();
    char name[16];
    EXPECT_EQ(api.search_fsname(path.c_str(), name), 0);
    api.fail_next("llapi_fd2fid", -EPERM);
    EXPECT_EQ(api.fd2fid(0, &fid), -EPERM);

    api.fail_next("no_such_entry_point", -1);  // ignored
    EXPECT_EQ(api.call_count("no_such_entry_point"), -1);
    EXPECT_EQ(api.call_count(nullptr), -1);
}

// What every entry point records is read back by the LustreAPI pass-through
// tests; these are the parts they do not reach.
TEST_F(SimControlTest, LastArgumentsAreRecorded)
{
    lustre_sim_args args;
    EXPECT_EQ(api.last_args("llapi_fid2path", &args), -ENOENT);
    EXPECT_EQ(api.last_args("llapi_nothing", &args), -EINVAL);
    EXPECT_EQ(api.last_args("llapi_fid2path", nullptr), -EINVAL);

    int archives[] = {3, 1};
    hsm_copytool_private* ct = nullptr;
    api.fail_next("llapi_hsm_copytool_register", -EPERM);
    EXPECT_EQ(api.copytool_register(&ct, "/mnt/x", 2, archives, 04000), -EPERM);
    ASSERT_EQ(api.last_args("llapi_hsm_copytool_register", &args), 0);
    EXPECT_STREQ(args.str0, "/mnt/x");
    EXPECT_EQ(args.int0, 2);
    EXPECT_EQ(args.int1, 04000);
    ASSERT_EQ(args.archive_ids_count, 2);
    EXPECT_EQ(args.archive_ids[0], 3);
    EXPECT_EQ(args.archive_ids[1], 1);

    hsm_extent he{4096, 100};
    api.fail_next("llapi_hsm_action_progress", 0);
    EXPECT_EQ(api.action_progress(nullptr, &he, 1ULL << 40, HP_FLAG_COMPLETED), 0);
    ASSERT_EQ(api.last_args("llapi_hsm_action_progress", &args), 0);
    EXPECT_EQ(args.has_extent, 1);
    EXPECT_EQ(args.extent_offset, 4096u);
    EXPECT_EQ(args.extent_length, 100u);
    EXPECT_EQ(args.u64, 1ULL << 40);
    EXPECT_EQ(args.int0, HP_FLAG_COMPLETED);

    // A path longer than the record is cut, never overrun.
    const std::string longPath(5000, 'p');
    lu_fid fid;
    EXPECT_EQ(api.path2fid(longPath.c_str(), &fid), -ENAMETOOLONG);
    ASSERT_EQ(api.last_args("llapi_path2fid", &args), 0);
    EXPECT_EQ(strlen(args.str0), sizeof args.str0 - 1);

    api.reset();
    EXPECT_EQ(api.call_count("llapi_path2fid"), 0);
    EXPECT_EQ(api.last_args("llapi_path2fid", &args), -ENOENT);
}

TEST_F(SimControlTest, LastRequestHoldsTheExactBytes)
{
    EXPECT_EQ(api.last_request(nullptr, 0), 0u);
    const std::string path = MakeFile("f");
    api.fail_next("llapi_hsm_request", -EIO);
    ASSERT_EQ(Submit(path, HUA_RELEASE, 1, "abc"), -EIO);

    lu_fid fid = FidOf(path);
    unsigned char expected[59] = {};
    const hsm_request header{HUA_RELEASE, 1, 0, 1, 3};
    memcpy(expected, &header, sizeof header);
    memcpy(expected + 24, &fid, sizeof fid);
    memset(expected + 48, 0xff, 8);  // extent length: the whole file
    memcpy(expected + 56, "abc", 3);
    unsigned char got[80];
    memset(got, 0xee, sizeof got);
    ASSERT_EQ(api.last_request(got, sizeof got), sizeof expected);
    EXPECT_EQ(memcmp(got, expected, sizeof expected), 0);
    EXPECT_EQ(got[sizeof expected], 0xee);

    // A short buffer gets what fits; the length is the whole request's.
    unsigned char head[10];
    EXPECT_EQ(api.last_request(head, sizeof head), sizeof expected);
    EXPECT_EQ(memcmp(head, expected, sizeof head), 0);

    api.reset();
    EXPECT_EQ(api.last_request(got, sizeof got), 0u);
}

}  // namespace
}  // namespace simtest
