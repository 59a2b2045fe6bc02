// FIDs and paths: llapi_path2fid, llapi_fd2fid, llapi_fid2path,
// llapi_search_fsname and llapi_get_mdt_index_by_fid.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "SimFixture.h"

namespace simtest {
namespace {

namespace fs = std::filesystem;

class SimFidTest : public SimTest {
protected:
    // fid2path with a buffer of pathlen bytes; the answer in out.
    int Fid2Path(const std::string& device, const std::string& fid, std::string& out, int pathlen = 4096,
                 int* linkno = nullptr)
    {
        std::vector<char> buf(static_cast<size_t>(pathlen > 0 ? pathlen : 1) + 16, '#');
        long long recno = -1;
        int link = 0;
        int rc = api.fid2path(device.c_str(), fid.c_str(), buf.data(), pathlen, &recno, linkno ? linkno : &link);
        out = rc == 0 ? std::string(buf.data()) : std::string();
        return rc;
    }
};

TEST_F(SimFidTest, FidsAreStableAcrossCallsDescriptorsAndRenames)
{
    const std::string path = MakeFile("dir/file");
    const lu_fid fid = FidOf(path);
    EXPECT_GE(fid.f_seq, 0x200000400ULL);
    EXPECT_GE(fid.f_oid, 1u);
    EXPECT_EQ(fid.f_ver, 0u);
    EXPECT_EQ(FidOf(path), fid);

    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    lu_fid byFd{};
    EXPECT_EQ(api.fd2fid(fd, &byFd), 0);
    close(fd);
    EXPECT_EQ(byFd, fid);

    // Distinct objects get distinct FIDs.
    EXPECT_FALSE(FidOf(MakeFile("dir/other")) == fid);
    EXPECT_FALSE(FidOf(mnt + "/dir") == fid);

    MakeDir("elsewhere/deeper");
    const std::string moved = mnt + "/elsewhere/deeper/renamed";
    fs::rename(path, moved);
    EXPECT_EQ(FidOf(moved), fid);
    std::string rel;
    EXPECT_EQ(Fid2Path(mnt, FidText(fid), rel), 0);
    EXPECT_EQ(rel, "elsewhere/deeper/renamed");

    // A renamed directory takes its contents along.
    fs::rename(mnt + "/elsewhere", mnt + "/top");
    EXPECT_EQ(Fid2Path(mnt, FidText(fid), rel), 0);
    EXPECT_EQ(rel, "top/deeper/renamed");
}

// The device (mount point, file-system or MDT name), the FID text as Lustre
// reads it, and a buffer that must hold the path and its terminator; on
// failure the buffer stays as it was.
TEST_F(SimFidTest, Fid2PathTextDevicesAndBuffer)
{
    const lu_fid fid = FidOf(MakeFile("d1/d2/name.txt"));
    const std::string text = FidText(fid), root = "[0x200000007:0x1:0x0]";
    char hexText[64], decText[64], octText[64];
    snprintf(hexText, sizeof hexText, "0x%llx:0x%x:0x0", fid.f_seq, fid.f_oid);
    snprintf(decText, sizeof decText, "[%llu:%u:0]", fid.f_seq, fid.f_oid);
    snprintf(octText, sizeof octText, "[0%llo:0%o:0]", fid.f_seq, fid.f_oid);
    const std::string path = "d1/d2/name.txt";
    const int exact = static_cast<int>(path.size()) + 1;
    struct Row {
        std::string device, fid;
        int pathlen, rc;
    } rows[] = {
        {mnt, text, exact, 0},
        {mnt, text, exact - 1, -EOVERFLOW},
        {mnt, text, 0, -EOVERFLOW},
        {mnt, text, -1, -EOVERFLOW},
        {mnt, text, 4097, -EINVAL},  // above PATH_MAX
        {mnt, root, 3, 0},           // "/" fits in 2, but the MDT wants at least 3
        {mnt, root, 2, -EOVERFLOW},
        {mnt, hexText, 4096, 0},
        {mnt, decText, 4096, 0},
        {mnt, octText, 4096, 0},
        {mnt, "  [[" + text.substr(1), 4096, 0},
        {"lustre", text, 4096, 0},
        {"lustre-MDT0001", text, 4096, 0},
        {mnt + "/", text, 4096, 0},
        {mnt, text + "x", 4096, -EINVAL},
        {mnt, "[0x200000400:0x1]", 4096, -EINVAL},
        {mnt, "", 4096, -EINVAL},
        {mnt, "[-1:0x1:0x0]", 4096, -EINVAL},
        {mnt, "[0x200000400:0x100000000:0x0]", 4096, -ERANGE},
        {mnt, "[0xffffffffffffffff:0x1:0x0]", 4096, -ERANGE},
        {mnt, "[0x10000000000000000:0x1:0x0]", 4096, -ERANGE},
        {mnt, "[0x200000400:0x7fff:0x0]", 4096, -ENOENT},  // never given out
        {mnt, "[0x200000001:0x1:0x0]", 4096, -EINVAL},     // LOCAL_FILE: not in the namespace
        {mnt, "[0x200000400:0x1:0x1]", 4096, -EINVAL},     // normal FIDs have version 0
        {"lustre-MDT0002", text, 4096, -ENODEV},           // only two MDTs
        {"otherfs", text, 4096, -ENODEV},
        {outside, text, 4096, -ENODEV},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.device + " " + row.fid + " pathlen " + std::to_string(row.pathlen));
        std::vector<char> buf(4200, '#');
        long long recno = -1;
        int linkno = 0;
        EXPECT_EQ(api.fid2path(row.device.c_str(), row.fid.c_str(), buf.data(), row.pathlen, &recno, &linkno), row.rc);
        EXPECT_EQ(row.rc == 0 ? std::string(buf.data()) : std::string(1, buf[0]), row.rc != 0       ? "#"
                                                                                  : row.fid == root ? "/"
                                                                                                    : path);
    }
}

TEST_F(SimFidTest, Fid2PathIteratesHardLinks)
{
    const std::string a = MakeFile("a");
    MakeDir("d");
    ASSERT_EQ(link(a.c_str(), (mnt + "/d/b").c_str()), 0);
    const std::string fid = FidText(FidOf(a));
    struct Row {
        int linkIn;
        std::string path;
        int linkOut;
    } rows[] = {
        {0, "a", 1},
        {1, "d/b", 1},  // the last link: nothing further
        {7, "d/b", 1},  // clamped to the last link
        {-1, "d/b", 1},
    };
    for (const auto& row : rows) {
        int linkno = row.linkIn;
        std::string rel;
        EXPECT_EQ(Fid2Path(mnt, fid, rel, 4096, &linkno), 0);
        EXPECT_EQ(rel, row.path) << "linkno " << row.linkIn;
        EXPECT_EQ(linkno, row.linkOut) << "linkno " << row.linkIn;
    }
    // Record and link numbers may be left out.
    char buf[64];
    EXPECT_EQ(api.fid2path(mnt.c_str(), fid.c_str(), buf, sizeof buf, nullptr, nullptr), 0);
    EXPECT_STREQ(buf, "a");
}

TEST_F(SimFidTest, PathsOutsideLustre)
{
    const std::string plain = outside + "/plain";
    std::ofstream(plain) << "x";
    // A missing path leaves the FID alone; a file outside Lustre zeroes it.
    const lu_fid untouched{1, 2, 3}, zero{};
    lu_fid fid = untouched;
    EXPECT_EQ(api.path2fid((outside + "/missing").c_str(), &fid), -ENOENT);
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
    const lu_fid root{0x200000007ULL, 1, 0};
    EXPECT_EQ(api.get_mdt_index_by_fid(fd, &root, &idx), -ENOTTY);
    EXPECT_EQ(idx, -7);
    close(fd);
    EXPECT_EQ(api.fd2fid(fd, &fid), -EBADF);
    EXPECT_EQ(api.path2fid(nullptr, &fid), -EINVAL);
    EXPECT_EQ(api.path2fid(plain.c_str(), nullptr), -EINVAL);

    char name[16] = "untouched";
    EXPECT_EQ(api.search_fsname(plain.c_str(), name), -ENODEV);
    EXPECT_STREQ(name, "untouched");
    EXPECT_EQ(api.search_fsname(mnt.c_str(), name), 0);
    EXPECT_STREQ(name, "lustre");
    strcpy(name, "untouched");
    EXPECT_EQ(api.search_fsname((mnt + "/no/such/file").c_str(), name), 0);
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
        const std::string dir = "dir" + std::to_string(i);
        const lu_fid dirFid = FidOf(MakeDir(dir));
        const lu_fid fileFid = FidOf(MakeFile(dir + "/file"));
        int idx = -1;
        const int mdt = api.get_mdt_index_by_fid(fd, &dirFid, &idx);
        EXPECT_EQ(mdt, idx);
        EXPECT_EQ(dirFid.f_seq, 0x200000400ULL + (static_cast<unsigned long long>(mdt) << 30)) << dir;
        EXPECT_EQ(api.get_mdt_index_by_fid(fd, &fileFid, &idx), mdt) << dir;
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
        if (row.rc >= 0) {
            EXPECT_EQ(idx, row.rc);
        }
    }
    int idx;
    EXPECT_EQ(api.get_mdt_index_by_fid(fd, nullptr, &idx), -EINVAL);
    close(fd);
    const lu_fid root{0x200000007ULL, 1, 0};
    EXPECT_EQ(api.get_mdt_index_by_fid(fd, &root, &idx), -EBADF);
}

}  // namespace
}  // namespace simtest
