// Path to FID and back through the stand-in, on real files. Failures, and
// what is handed back with them, are UnterminatedPathTest's.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "KxUtils.h"
#include "LustreAPI.h"

namespace {

using PathFidTest = apitest::BoundTest;

TEST_F(PathFidTest, PathToFidAndBackGivesTheOriginalPath)
{
    const std::string file = state.WriteFile("file", "1");
    const std::string nested = state.WriteFile("a/b/c/nested file", "2");
    struct Case {
        std::string path, mountPoint, expected;
    };
    const Case cases[] = {
        {file, state.mount, file},
        {nested, state.mount + "/", nested},
        // The root comes back from Lustre as "/", joined to the mount point.
        {state.mount, state.mount, state.mount + "/"},
        {state.mount, state.mount + "/", state.mount + "/"},
        // Lustre also takes a path inside the mount, and answers below the
        // mount point all the same.
        {nested, state.mount + "/a/b", nested},
        {file, state.mount + "/a/b/c/", file},
        {nested, state.mount + "/a/b/c/nested file", nested},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " on " + c.mountPoint);
        LustreAPI::CLustreFID fid;
        ASSERT_FALSE(LustreAPI::GetFIDFromPath(c.path, fid).Failed());
        std::string path = "previous";
        int linkNo = 0;
        long long recNo = 0;
        ASSERT_FALSE(LustreAPI::GetPathFromFID(c.mountPoint, fid, path, linkNo, recNo).Failed());
        EXPECT_EQ(path, c.expected);
    }

    // A file system's name (which Lustre takes too) names no directory to
    // join Lustre's answer to: refused, the path untouched.
    for (const std::string& device : {std::string("lustre"), std::string("mnt/lustre")}) {
        SCOPED_TRACE(device);
        LustreAPI::CLustreFID fid;
        ASSERT_FALSE(LustreAPI::GetFIDFromPath(nested, fid).Failed());
        std::string path = "previous";
        int linkNo = 0;
        long long recNo = 0;
        const CKxError error = LustreAPI::GetPathFromFID(device, fid, path, linkNo, recNo);
        EXPECT_EQ(error.GetSystemError(), 2);
        EXPECT_EQ(path, "previous");
        if (device == "lustre") {
            EXPECT_EQ(error.GetMessages().back(),
                      "Cannot convert FID to Path for " +
                          HBString::Format("[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver) +
                          ": lustre is the name of a file system, not a directory; give its mount point or a path "
                          "in it");
        }
    }

    // Path2FID leaves the message alone on success.
    lu_fid fid{1, 2, 3};
    std::string message = "kept on success";
    EXPECT_EQ(LustreAPI::Path2FID(file, fid, message), 0);
    EXPECT_EQ(message, "kept on success");
}

// A failure keeps errno 2 and names Lustre's own reason.
TEST_F(PathFidTest, FailureCarriesLustresReason)
{
    const std::string file = state.WriteFile("file", "1");
    for (int lustreResult : {-EOPNOTSUPP, -ENOENT, -EACCES}) {
        sim.failNext("llapi_path2fid", lustreResult);
        LustreAPI::CLustreFID fid(lu_fid{1, 2, 3});
        const CKxError error = LustreAPI::GetFIDFromPath(file, fid);
        EXPECT_EQ(error.GetSystemError(), ENOENT);
        EXPECT_EQ(
            error.GetMessages(),
            std::vector<std::string>{"Cannot convert Path to FID for " + file + ": llapi_path2fid failed with Error " +
                                     std::strerror(-lustreResult) + " (" + std::to_string(-lustreResult) + ")"});
        EXPECT_EQ(fid, LustreAPI::CLustreFID(lu_fid{1, 2, 3}));
    }
}

}  // namespace

// Every link of a file, in Lustre's link order, each below the mount point;
// a removed link is gone from the next answer. A failure leaves the list.
TEST_F(PathFidTest, EveryPathOfAHardLinkedFile)
{
    const std::string first = state.WriteFile("d1/first", "x");
    const std::string second = state.mount + "/d2/second";
    const std::string third = state.mount + "/third";
    state.WriteFile("d2/placeholder", "");
    ASSERT_EQ(link(first.c_str(), second.c_str()), 0) << std::strerror(errno);
    ASSERT_EQ(link(first.c_str(), third.c_str()), 0) << std::strerror(errno);
    LustreAPI::CLustreFID fid;
    ASSERT_FALSE(LustreAPI::GetFIDFromPath(first, fid).Failed());

    // What GetPathFromFID gives link by link is what the list holds.
    std::vector<std::string> byLink;
    for (int linkNo = 0, asked = -1; linkNo > asked && byLink.size() < 10;) {
        asked = linkNo;
        std::string path;
        long long recNo = 0;
        ASSERT_FALSE(LustreAPI::GetPathFromFID(state.mount, fid, path, linkNo, recNo).Failed());
        byLink.push_back(path);
    }
    std::vector<std::string> paths{"previous"};
    ASSERT_FALSE(LustreAPI::GetPathsFromFID(state.mount + "/d2", fid, paths).Failed());
    EXPECT_EQ(paths, byLink);
    std::vector<std::string> sorted = paths;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{first, second, third}));

    ASSERT_EQ(unlink(second.c_str()), 0);
    ASSERT_FALSE(LustreAPI::GetPathsFromFID(state.mount, fid, paths).Failed());
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{first, third}));

    // The last link gone: Lustre knows the FID no more.
    ASSERT_EQ(unlink(first.c_str()), 0);
    ASSERT_EQ(unlink(third.c_str()), 0);
    paths = {"kept"};
    const CKxError gone = LustreAPI::GetPathsFromFID(state.mount, fid, paths);
    EXPECT_EQ(gone.GetSystemError(), 2);
    EXPECT_EQ(LustreAPI::GetErrorKind(gone), LustreAPI::ErrorKind::Failed);
    EXPECT_EQ(paths, std::vector<std::string>{"kept"});
}
