// What only the C entry points show of FIDs and paths: buffer sizes, link
// numbers, out-parameters, descriptors, MDT indexes and the library's
// messages. The FID texts and devices of llapi_fid2path are in the lfs
// session of 2.15 (tests/tools/sessions).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "SimFixture.h"

namespace simtest {
namespace {

class SimFidTest : public SimTest {};

TEST_F(SimFidTest, FidsAreStableAcrossCallsDescriptorsAndRenames)
{
    const std::string path = MakeFile("dir/file");
    const lu_fid fid = FidOf(path);
    EXPECT_GE(fid.f_seq, 0x200000400ULL);
    EXPECT_EQ(fid.f_ver, 0u);
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    lu_fid byFd{};
    EXPECT_EQ(api.fd2fid(fd, &byFd), 0);
    close(fd);
    EXPECT_EQ(byFd, fid);
    EXPECT_FALSE(FidOf(MakeFile("dir/other")) == fid);

    // A renamed directory takes its contents along.
    std::filesystem::rename(mnt + "/dir", mnt + "/top");
    EXPECT_EQ(FidOf(mnt + "/top/file"), fid);
    char buf[64];
    EXPECT_EQ(api.fid2path(mnt.c_str(), FidText(fid).c_str(), buf, sizeof buf, nullptr, nullptr), 0);
    EXPECT_STREQ(buf, "top/file");
}

// The buffer must hold the path and its terminator (the MDT wants at least
// 3 bytes); on failure it stays as it was. The link number comes back as
// the next link, or unchanged at the last one; a number past it is clamped.
TEST_F(SimFidTest, Fid2PathBufferAndLinkNumbers)
{
    const std::string path = MakeFile("d1/name.txt");
    std::filesystem::create_directories(mnt + "/d0");
    ASSERT_EQ(link(path.c_str(), (mnt + "/d0/b").c_str()), 0);
    const std::string text = FidText(FidOf(path)), root = "[0x200000007:0x1:0x0]";
    struct Row {
        std::string fid;
        int pathlen, linkIn, rc;
        std::string path;
        int linkOut;
    } rows[] = {
        {text, 5, 0, 0, "d0/b", 1},
        {text, 4, 0, -EOVERFLOW, "#", 0},
        {text, 0, 0, -EOVERFLOW, "#", 0},
        {text, -1, 0, -EOVERFLOW, "#", 0},
        {text, 4097, 0, -EINVAL, "#", 0},  // above PATH_MAX
        {text, 4096, 1, 0, "d1/name.txt", 1},
        {text, 4096, 7, 0, "d1/name.txt", 1},
        {text, 4096, -1, 0, "d1/name.txt", 1},
        {root, 3, 0, 0, "/", 0},
        {root, 2, 0, -EOVERFLOW, "#", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fid + " pathlen " + std::to_string(row.pathlen) + " link " + std::to_string(row.linkIn));
        std::vector<char> buf(4200, '#');
        long long recno = -1;
        int linkno = row.linkIn;
        EXPECT_EQ(api.fid2path(mnt.c_str(), row.fid.c_str(), buf.data(), row.pathlen, &recno, &linkno), row.rc);
        EXPECT_EQ(row.rc == 0 ? std::string(buf.data()) : std::string(1, buf[0]), row.path);
        EXPECT_EQ(recno, -1);
        if (row.rc == 0) {
            EXPECT_EQ(linkno, row.linkOut);
        }
    }
}

TEST_F(SimFidTest, PathsAndDescriptorsOutsideLustre)
{
    const std::string plain = outside + "/plain";
    std::ofstream(plain) << "x";
    // A missing path leaves the FID alone; a file outside Lustre zeroes it.
    const lu_fid untouched{1, 2, 3}, zero{}, root{0x200000007ULL, 1, 0};
    lu_fid fid = untouched;
    EXPECT_EQ(api.path2fid((mnt + "/missing").c_str(), &fid), -ENOENT);
    EXPECT_EQ(fid, untouched);
    EXPECT_EQ(api.path2fid(plain.c_str(), &fid), -EOPNOTSUPP);
    EXPECT_EQ(fid, zero);
    const int fd = open(plain.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    fid = untouched;
    EXPECT_EQ(api.fd2fid(fd, &fid), -EOPNOTSUPP);
    EXPECT_EQ(fid, zero);
    int idx = -7;
    EXPECT_EQ(api.get_mdt_index_by_fid(fd, &root, &idx), -ENOTTY);
    EXPECT_EQ(idx, -7);
    close(fd);
    EXPECT_EQ(api.fd2fid(fd, &fid), -EBADF);
    EXPECT_EQ(api.get_mdt_index_by_fid(fd, &root, &idx), -EBADF);
    EXPECT_EQ(api.path2fid(nullptr, &fid), -EINVAL);
    EXPECT_EQ(api.path2fid(plain.c_str(), nullptr), -EINVAL);

    // A missing file counts by its directory, and only by that.
    char name[16] = "untouched";
    EXPECT_EQ(api.search_fsname((mnt + "/nofile").c_str(), name), 0);
    EXPECT_STREQ(name, "lustre");
}

TEST_F(SimFidTest, MdtIndexComesFromTheSequence)
{
    const int fd = open(mnt.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    // Top-level directories are spread over both MDTs; what is inside one
    // lives on the same MDT.
    std::set<int> used;
    for (int i = 0; i < 12; ++i) {
        const std::string file = MakeFile("dir" + std::to_string(i) + "/file");
        const lu_fid dirFid = FidOf(file.substr(0, file.size() - 5)), fileFid = FidOf(file);
        int idx = -1;
        const int mdt = api.get_mdt_index_by_fid(fd, &dirFid, &idx);
        EXPECT_EQ(mdt, idx);
        EXPECT_EQ(dirFid.f_seq, 0x200000400ULL + (static_cast<unsigned long long>(mdt) << 30)) << file;
        EXPECT_EQ(api.get_mdt_index_by_fid(fd, &fileFid, &idx), mdt) << file;
        used.insert(mdt);
    }
    EXPECT_EQ(used, (std::set<int>{0, 1}));

    struct Row {
        lu_fid fid;
        int rc;
    } rows[] = {
        {{0x200000007ULL, 1, 0}, 0},
        {{0x240000400ULL, 9, 0}, 1},        // need not exist: only the sequence counts
        {{0x280000400ULL, 1, 0}, -ENOENT},  // a third MDT's sequence
        {{0x200000400ULL, 1, 5}, -EINVAL},  // not sane
    };
    for (const auto& row : rows) {
        int idx = -1;
        EXPECT_EQ(api.get_mdt_index_by_fid(fd, &row.fid, &idx), row.rc) << FidText(row.fid);
        EXPECT_EQ(idx, row.rc >= 0 ? row.rc : -1) << FidText(row.fid);
    }
    int idx;
    EXPECT_EQ(api.get_mdt_index_by_fid(fd, nullptr, &idx), -EINVAL);
    close(fd);
}

// Every line starts with the program's short name, as liblustreapi's do.
TEST_F(SimFidTest, ErrorsAndTheirLines)
{
    struct stat st {};
    ASSERT_EQ(stat(outside.c_str(), &st), 0);
    const std::string prog = std::string(program_invocation_short_name) + ": ";
    const std::string notLustre = prog + "'" + std::to_string(major(st.st_dev)) + "/" +
                                  std::to_string(minor(st.st_dev)) + "' dev not on a mounted Lustre filesystem\n";
    char name[16] = "untouched";
    char path[64];
    hsm_copytool_private* ct = nullptr;
    int negative[] = {2, -3};
    struct Row {
        std::function<int()> call;
        int rc;
        std::string err;
    };
    const Row rows[] = {
        {[&] { return api.search_fsname(outside.c_str(), name); }, -ENODEV, notLustre},
        // A missing path is judged by its directory, and fails without one.
        {[&] { return api.search_fsname((outside + "/nofile").c_str(), name); }, -ENODEV, notLustre},
        {[&] { return api.search_fsname((outside + "/no/such").c_str(), name); }, -ENOENT,
         prog + "cannot resolve path '" + outside + "/no/such': No such file or directory (2)\n"},
        {[&] { return api.search_fsname((mnt + "/no/such").c_str(), name); }, -ENOENT,
         prog + "cannot resolve path '" + mnt + "/no/such': No such file or directory (2)\n"},
        // The device is found before the FID text is read.
        {[&] { return api.fid2path(outside.c_str(), "junk", path, 64, nullptr, nullptr); }, -ENODEV, ""},
        // The FID is read as llapi_fid_parse reads it: what follows it is ignored.
        {[&] { return api.fid2path(mnt.c_str(), " [0x200000007:0x1:0x0]x", path, 64, nullptr, nullptr); }, 0, ""},
        {[&] { return api.fid2path(mnt.c_str(), "[0x200000007:0x1]", path, 64, nullptr, nullptr); }, -EINVAL,
         prog + "bad FID format '[0x200000007:0x1]', should be [seq:oid:ver] (e.g. [0x200000400:0x2:0x0])\n"},
        {[&] { return api.copytool_register(&ct, mnt.c_str(), 1, nullptr, 0); }, -EINVAL,
         prog + "NULL archive numbers\n"},
        {[&] { return api.copytool_register(&ct, outside.c_str(), 0, nullptr, 0); }, -ENOENT, ""},
        // The mount is checked before the archive ids.
        {[&] { return api.copytool_register(&ct, outside.c_str(), 2, negative, 0); }, -ENOENT, ""},
        {[&] { return api.copytool_register(&ct, mnt.c_str(), 2, negative, 0); }, -EINVAL,
         prog + "-3 requested when archive id >= 0 is supported\n"},
    };
    for (const auto& row : rows) {
        testing::internal::CaptureStderr();
        const int rc = row.call();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.err) << &row - rows;
        EXPECT_EQ(rc, row.rc) << &row - rows;
    }
    EXPECT_EQ(ct, nullptr);
    EXPECT_STREQ(name, "untouched");
}

}  // namespace
}  // namespace simtest
