// The calls Lustre's POSIX copytool makes beyond the copytool ones:
// messages, FID text, sizes, the event FIFO, fid2path_at and import, with
// the results observed on Lustre 2.15.8's library; and the descriptor and
// NID calls of policy engines and changelog consumers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <tuple>

#include "SimFixture.h"

extern "C" int client_headers_decode(void);

namespace simtest {
namespace {

using SimCallsTest = SimTest;

TEST_F(SimCallsTest, FidTextAsLlapiFidParseReadsIt)
{
    const struct {
        const char* text;
        int rc;
        lu_fid fid;
        const char* rest;
    } rows[] = {
        {"[0x200000400:0x1:0x0]", 0, {0x200000400, 1, 0}, ""},
        {"0x1:0x2:0x3 tail", 0, {1, 2, 3}, " tail"},
        {" [[010:+5:0]]rest", 0, {8, 5, 0}, "]rest"},
        {":0x1:0x0", 0, {0, 1, 0}, ""},
        {"0x1::", 0, {1, 0, 0}, ""},
        {"0x1:0x2:abc", 0, {1, 2, 0}, "abc"},
        {"0x1:0x2", -EINVAL, {1, 2, 9}, ""},
        {"0x1 :0x2:0x3", -EINVAL, {1, 9, 9}, " :0x2:0x3"},
        {"abc", -EINVAL, {0, 9, 9}, "abc"},
        {"-1:0x1:0x0", -ERANGE, {9, 1, 0}, ""},  // the bad field alone stays unwritten
        {"0x1:0x100000000:0x0", -ERANGE, {1, 9, 0}, ""},
    };
    for (const auto& row : rows) {
        lu_fid fid{9, 9, 9};
        char* end = nullptr;
        errno = 12345;
        EXPECT_EQ(api.fid_parse(row.text, &fid, &end), row.rc) << row.text;
        EXPECT_EQ(errno, -row.rc) << row.text;
        EXPECT_EQ(fid, row.fid) << row.text;
        EXPECT_STREQ(end, row.rest) << row.text;
    }
}

TEST_F(SimCallsTest, SizesAsLlapiParseSizeReadsThem)
{
    const struct {
        const char* text;
        unsigned long long units;
        int bytesSpec;
        int rc;
        unsigned long long size;
    } rows[] = {
        {"", 1, 0, 0, 0},          {"k", 1, 0, 0, 0},          {"1.5M", 1, 0, 0, 1572864},
        {".5k", 1, 0, 0, 512},     {"4b", 1, 0, 0, 2048},      {"4b", 1, 1, 0, 4},
        {"0x10", 0, 0, 0, 16},     {"010", 1, 0, 0, 8},        {"2", 1 << 20, 0, 0, 2 << 20},
        {"16777215T", 1, 0, 0, 16777215ULL << 40},            {"16777216T", 1, 0, -1, 7},
        {"10x", 1, 0, -1, 7},      {"10kb", 1, 0, -1, 7},      {"10B", 1, 0, -1, 7},
        {"-1", 1, 0, -1, 7},
    };
    for (const auto& row : rows) {
        unsigned long long size = 7, units = row.units;
        EXPECT_EQ(api.parse_size(row.text, &size, &units, row.bytesSpec), row.rc) << row.text;
        EXPECT_EQ(size, row.size) << row.text;
    }
}

TEST_F(SimCallsTest, MessagesAsLlapiErrorWritesThem)
{
    const std::string p = std::string(program_invocation_short_name) + ": ";
    const int noErrno = LLAPI_MSG_NO_ERRNO;
    const struct {
        int threshold;
        int level;
        int err;
        const char* format;
        std::string out;
    } rows[] = {
        {7, LLAPI_MSG_ERROR, -2, "plain msg", p + "plain msg: No such file or directory (2)\n"},
        {7, LLAPI_MSG_DEBUG, 5, "a\nb", p + "a: Input/output error (5)\n"},  // what follows the last \n is lost
        {7, LLAPI_MSG_WARN, 0, "ok", p + "ok: Success (0)\n"},
        {7, LLAPI_MSG_ERROR | noErrno, 5, "x", p + "x\n"},
        {7, LLAPI_MSG_ERROR | noErrno, 5, "two\nlines", p + "two\nlines"},
        {LLAPI_MSG_ERROR, LLAPI_MSG_WARN, 1, "dropped", ""},
        {LLAPI_MSG_OFF, LLAPI_MSG_OFF | noErrno, 0, "level 0", p + "level 0\n"},
    };
    for (const auto& row : rows) {
        api.msg_set_level(row.threshold);
        testing::internal::CaptureStderr();
        errno = 42;
        api.error(static_cast<llapi_message_level>(row.level), row.err, row.format);
        EXPECT_EQ(errno, 42) << row.format;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.out) << row.format;
    }
    api.msg_set_level(LLAPI_MSG_MAX);
}

// Events as Lustre writes them, its defective escaping included; with the
// FIFO's own callback installed, messages reach the FIFO and not stderr.
TEST_F(SimCallsTest, EventFifoTakesMessagesAndRefusesOtherFiles)
{
    const std::string fifo = outside + "/events", p = std::string(program_invocation_short_name) + ": ";
    const mode_t oldMask = umask(022);
    ASSERT_EQ(api.register_event_fifo(fifo.c_str()), 0);
    struct stat st {};
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, S_IFIFO | 0644u);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const llapi_log_callback_t old = api.error_callback_set(api.hsm_log_error);
    testing::internal::CaptureStderr();
    api.error(LLAPI_MSG_WARN, 2, "a\tb\"c\\d");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    api.error_callback_set(old);
    char buf[1024] = {};
    const ssize_t n = read(reader, buf, sizeof buf - 1);
    const std::string events(buf, n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_NE(events.find(R"("event_type": "LOGGED_MESSAGE", "level": "WARNING", "message": "a\\tb\\"c\\\\d", )"
                          R"("error": "No such file or directory", "errno": 2})"),
              std::string::npos)
        << events;
    close(reader);
    EXPECT_EQ(api.unregister_event_fifo(fifo.c_str()), 0);
    EXPECT_NE(access(fifo.c_str(), F_OK), 0);  // it made the FIFO, so it removes it

    const std::string plain = MakeFile("plain"), missing = outside + "/no/fifo";
    const struct {
        std::string path;
        int rc;
        std::string err;
    } refused[] = {
        {plain, -EEXIST, p + plain + " exists but is not a pipe or has a wrong mode: File exists (17)\n"},
        {missing, -ENOENT, p + "mkfifo(" + missing + ") failed: No such file or directory (2)\n"},
    };
    for (const auto& row : refused) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(api.register_event_fifo(row.path.c_str()), row.rc);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.err);
    }
    EXPECT_EQ(api.unregister_event_fifo(fifo.c_str()), 0);  // none registered
    umask(oldMask);
}

TEST_F(SimCallsTest, Fid2PathAtAndImport)
{
    const std::string file = MakeFile("dir/file");
    const lu_fid fid = FidOf(file), root{0x200000007, 1, 0};
    const int mntFd = open(mnt.c_str(), O_RDONLY | O_DIRECTORY), outFd = open(outside.c_str(), O_RDONLY);
    char path[PATH_MAX];
    int link = 0;
    EXPECT_EQ(api.fid2path_at(-1, &fid, path, sizeof path, nullptr, nullptr), -EBADF);
    EXPECT_EQ(api.fid2path_at(outFd, &fid, path, sizeof path, nullptr, nullptr), -ENOTTY);
    EXPECT_EQ(api.fid2path_at(mntFd, &root, path, sizeof path, nullptr, &link), 0);
    EXPECT_STREQ(path, "/");
    EXPECT_EQ(api.fid2path_at(mntFd, &fid, path, 8, nullptr, &link), -ERANGE);
    EXPECT_EQ(api.fid2path_at(mntFd, &fid, path, sizeof path, nullptr, &link), 0);
    EXPECT_STREQ(path, "dir/file");
    close(mntFd);
    close(outFd);

    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    st.st_mode = S_IFREG | 0640;
    st.st_size = 12345;
    lu_fid newFid{};
    const std::string dst = mnt + "/imported", off = outside + "/imported";
    ASSERT_EQ(api.hsm_import(dst.c_str(), 3, &st, 0, -1, 0, 0, nullptr, &newFid), 0);
    EXPECT_EQ(newFid, FidOf(dst));
    EXPECT_EQ(Tool({"lfs", "hsm_state", dst}).out, dst + ": (0x0000000d) released exists archived, archive_id:3\n");
    struct stat got {};
    ASSERT_EQ(stat(dst.c_str(), &got), 0);
    EXPECT_EQ(std::make_tuple(got.st_mode, got.st_size, got.st_mtim.tv_nsec),
              std::make_tuple(st.st_mode, st.st_size, st.st_mtim.tv_nsec));

    const std::string p = std::string(program_invocation_short_name) + ": ";
    testing::internal::CaptureStderr();
    EXPECT_EQ(api.hsm_import(off.c_str(), 1, &st, 0, -1, 0, 0, nullptr, &newFid), -ENOTTY);
    EXPECT_EQ(api.hsm_import(file.c_str(), 1, &st, 0, -1, 0, 0, nullptr, &newFid), -EEXIST);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              p + "setstripe error for '" + off + "': Inappropriate ioctl for device\n" + p + "cannot create '" + off +
                  "' for import: Inappropriate ioctl for device (25)\n" + p + "setstripe error for '" + file +
                  "': stripe already set\n" + p + "cannot create '" + file + "' for import: File exists (17)\n");
    EXPECT_EQ(access(off.c_str(), F_OK), 0);  // left behind empty, as Lustre leaves it
    EXPECT_EQ(ReadFile(file), "data");
}

// The descriptor forms answer as the ioctls behind them: what the path
// forms answer for a file of Lustre, ENOTTY for any other file.
TEST_F(SimCallsTest, DescriptorCallsAndNidText)
{
    const std::string file = MakeFile("f");
    ASSERT_EQ(Tool({"lfs", "hsm_set", "--norelease", file}).status, 0);  // a flag any user may set
    const int fd = open(file.c_str(), O_RDONLY), outFd = open(outside.c_str(), O_RDONLY);
    hsm_user_state byPath{}, byFd{};
    ASSERT_EQ(api.state_get(file.c_str(), &byPath), 0);
    ASSERT_EQ(api.state_get_fd(fd, &byFd), 0);
    EXPECT_EQ(std::make_tuple(byFd.hus_states, byFd.hus_archive_id), std::make_tuple(unsigned{HS_NORELEASE}, 0u));
    EXPECT_EQ(std::make_tuple(byPath.hus_states, byPath.hus_archive_id),
              std::make_tuple(byFd.hus_states, byFd.hus_archive_id));
    EXPECT_EQ(api.state_get_fd(outFd, &byFd), -ENOTTY);
    EXPECT_EQ(api.state_get_fd(-1, &byFd), -EBADF);

    const lu_fid fid = FidOf(file);
    int byFid = -1, mdt = -1;
    ASSERT_GE(api.get_mdt_index_by_fid(fd, &fid, &byFid), 0);
    EXPECT_EQ(api.file_fget_mdtidx(fd, &mdt), 0);
    EXPECT_EQ(mdt, byFid);
    EXPECT_EQ(api.file_fget_mdtidx(outFd, &mdt), -ENOTTY);
    close(fd);
    close(outFd);

    // As Lustre's libcfs writes them; cut to the buffer as snprintf cuts.
    char text[LNET_NIDSTR_SIZE];
    const std::pair<lnet_nid_t, const char*> nids[] = {
        {LNET_MKNID(LNET_MKNET(SOCKLND, 0), 0x0a000001), "10.0.0.1@tcp"},
        {LNET_MKNID(LNET_MKNET(O2IBLND, 1), 0xc0a80102), "192.168.1.2@o2ib1"},
        {LNET_MKNID(LNET_MKNET(LOLND, 0), 0), "0@lo"},
        {LNET_NID_ANY, "<?>"}};
    for (const auto& [nid, expected] : nids) EXPECT_STREQ(api.nid2str_r(nid, text, sizeof text), expected);
    EXPECT_STREQ(api.nid2str_r(nids[0].first, text, 5), "10.0");
    EXPECT_EQ(client_headers_decode(), 1);  // the HSM record flag helpers
}

}  // namespace
}  // namespace simtest
