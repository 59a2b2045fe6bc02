// What the library prints on stderr, and when it stays silent: every line
// starts with the program's short name, as liblustreapi's do.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <functional>
#include <string>

#include "SimFixture.h"

namespace simtest {
namespace {

class SimMessageTest : public SimTest {};

TEST_F(SimMessageTest, ErrorsAndTheirLines)
{
    struct stat st {};
    ASSERT_EQ(stat(outside.c_str(), &st), 0);
    const std::string prog = std::string(program_invocation_short_name) + ": ";
    const std::string notLustre = prog + "'" + std::to_string(major(st.st_dev)) + "/" +
                                  std::to_string(minor(st.st_dev)) + "' dev not on a mounted Lustre filesystem\n";
    char name[16];
    char path[64];
    hsm_copytool_private* ct = nullptr;
    struct Row {
        const char* what;
        std::function<int()> call;
        int rc;
        std::string err;
    };
    const Row rows[] = {
        {"search_fsname outside", [&] { return api.search_fsname(outside.c_str(), name); }, -ENODEV, notLustre},
        // A missing path is judged by its nearest existing ancestor.
        {"search_fsname missing", [&] { return api.search_fsname((outside + "/no/such").c_str(), name); }, -ENODEV,
         notLustre},
        // The device is found before the FID text is read.
        {"fid2path garbage outside", [&] { return api.fid2path(outside.c_str(), "junk", path, 64, nullptr, nullptr); },
         -ENODEV, ""},
        {"fid2path garbage, unknown fs", [&] { return api.fid2path("otherfs", "junk", path, 64, nullptr, nullptr); },
         -ENODEV, ""},
        {"fid2path garbage on Lustre", [&] { return api.fid2path(mnt.c_str(), "junk", path, 64, nullptr, nullptr); },
         -EINVAL, prog + "bad FID format 'junk', should be [seq:oid:ver] (e.g. [0x200000400:0x2:0x0])\n"},
        {"copytool NULL archives", [&] { return api.copytool_register(&ct, mnt.c_str(), 1, nullptr, 0); }, -EINVAL,
         prog + "NULL archive numbers\n"},
        {"copytool outside", [&] { return api.copytool_register(&ct, outside.c_str(), 0, nullptr, 0); }, -ENOENT, ""},
    };
    for (const auto& row : rows) {
        testing::internal::CaptureStderr();
        const int rc = row.call();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.err) << row.what;
        EXPECT_EQ(rc, row.rc) << row.what;
    }
    EXPECT_EQ(ct, nullptr);
}

}  // namespace
}  // namespace simtest
