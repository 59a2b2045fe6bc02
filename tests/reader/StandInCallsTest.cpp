// The stand-in's changelog calls as Lustre's library answers them: refusals,
// the end of the log, a following reader's empty queue, and the layout each
// request gets.
#include <fcntl.h>

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <lustre/lustreapi.h>

#include "LustreAPI.h"
#include "NidText.h"
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

// Each request's layout: the flags asked for, the size of the parts, the
// extra flags word. The record is a CREAT, whose uid, gid and NID the MDT
// wrote (ef 0x3).
TEST_F(StandInCalls, RebuildEachRecordAsAsked)
{
    struct Case {
        int flags;
        unsigned xflags;
        unsigned crFlags;
        size_t size;
        const char* jobid;
        bool nameFound;
        unsigned long long ef;
    } const cases[] = {{0, 0, 0x3000, 96, "", true, 0},
                       {CHANGELOG_FLAG_JOBID, 0, 0x7000, 128, "j 1", true, 0},
                       {CHANGELOG_FLAG_JOBID | CHANGELOG_FLAG_EXTRA_FLAGS, 0xf, 0xf000, 436, "j 1", true, 0xf},
                       // Lustre's quirk: the word keeps the record's own flags (NID, not asked for), so
                       // the helpers place the name after the dropped NID, 24 bytes on; the record is
                       // laid out again in place, and there the old name still lies (the rename part
                       // asked for is as long as the job id part dropped).
                       {CHANGELOG_FLAG_EXTRA_FLAGS, CHANGELOG_EXTRA_FLAG_UIDGID, 0xb000, 144, "", true, 0x3}};
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
        if (c.flags & CHANGELOG_FLAG_EXTRA_FLAGS) {
            EXPECT_EQ(changelog_rec_extra_flags(rec)->cr_extra_flags, c.ef);
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

namespace roundtrip {

// Lustre's record type names, by number (enum changelog_rec_type).
const char* const kTypeNames[] = {"MARK",  "CREAT", "MKDIR", "HLINK", "SLINK", "MKNOD", "UNLNK", "RMDIR", "RENME",
                                  "RNMTO", "OPEN",  "CLOSE", "LYOUT", "TRUNC", "SATTR", "XATTR", "HSM",   "MTIME",
                                  "CTIME", "ATIME", "MIGRT", "FLRW",  "RESYNC", "GXATR", "NOPEN"};

// Values a record can hold, each as libcfs and lfs write it.
struct Values {
    std::string name, jobid, nid, mode, xattr;
};
const Values kHostile[] = {
    {"a  b c", "j 1", "10.0.0.1@tcp", "r--", ""},
    {"line\nbreak", std::string(31, 'j'), "192.168.1.2@o2ib1", "-w-", ""},
    {" 12 01CREAT 00:00:00.000000000 2024.01.01 0x0 t=[0x1:0x2:0x0]", "x ef=0x", "7@gni", "rw-", ""},
    {std::string(255, 'n'), "", "a@<17:0>", "--x", ""},
    {"ef=0x1 u=1:2 nid=0@lo", "p=[0x1:0x1:0x0]", "<?>", "", ""},
    {"", "cp.0", "0@lo", "", "user.a name"},
};

}  // namespace roundtrip

// Each record as appended comes back the same from llapi_changelog_recv and,
// through the text the stand-in lfs prints from it, from ParseChangelogRecord;
// what an MDT cannot write is refused when appended.
TEST_F(StandInCalls, RecordsRoundTripThroughTheLibraryAndLfs)
{
    const std::map<std::string, std::string> env = {{"PATH", std::string(SIM_BIN_DIR ":") + std::getenv("PATH")}};
    const std::string sim = SIM_BIN_DIR "/lustre-sim";
    for (int type = 0; type < 25; ++type) {
        const roundtrip::Values& v = roundtrip::kHostile[type % std::size(roundtrip::kHostile)];
        const bool rename = type == 8;
        // Every part, whatever the type: the round trip of each value.
        std::vector<std::string> argv = {sim, "changelog-append", kMdt, roundtrip::kTypeNames[type], "--ef", "0xf",
                                         "--time", "1700000000.123456789", "--uid", "500", "--gid", "501", "--nid",
                                         v.nid,
                                         "--fid", "[0x200000401:0x" + std::to_string(type + 1) + ":0x0]"};
        for (const auto& [option, value] : {std::pair{"--name", v.name}, {"--jobid", v.jobid}, {"--mode", v.mode},
                                            {"--xattr", v.xattr}})
            if (!value.empty()) argv.insert(argv.end(), {option, value});
        if (rename) argv.insert(argv.end(), {"--sfid", "[0x200000401:0x99:0x0]", "--sparent", "[0x200000007:0x1:0x0]",
                                             "--sname", "old name"});
        const testsupport::Outcome appended = testsupport::Run(argv, env);
        ASSERT_EQ(appended.status, 0) << appended.err;
        const unsigned long long index = std::stoull(appended.out);
        SCOPED_TRACE("type " + std::to_string(type) + ", record " + std::to_string(index));

        void* priv = nullptr;
        ASSERT_EQ(llapi_changelog_start(&priv, static_cast<changelog_send_flag>(CHANGELOG_FLAG_JOBID |
                                                                                 CHANGELOG_FLAG_EXTRA_FLAGS),
                                        kMdt, static_cast<long long>(index)),
                  0);
        ASSERT_EQ(llapi_changelog_set_xflags(priv, static_cast<changelog_send_extra_flag>(0xf)), 0);
        changelog_rec* rec = nullptr;
        ASSERT_EQ(llapi_changelog_recv(priv, &rec), 0);
        EXPECT_EQ(rec->cr_index, index);
        EXPECT_EQ(rec->cr_type, static_cast<unsigned>(type));
        EXPECT_EQ(rec->cr_time >> 30, 1700000000u);
        EXPECT_EQ(rec->cr_time & ((1u << 30) - 1), 123456789u);
        EXPECT_EQ(std::string(changelog_rec_name(rec), strnlen(changelog_rec_name(rec), rec->cr_namelen)), v.name);
        EXPECT_EQ(std::string(changelog_rec_jobid(rec)->cr_jobid), v.jobid);
        EXPECT_EQ(common::NidText(changelog_rec_nid(rec)->cr_nid), v.nid);
        EXPECT_EQ(changelog_rec_uidgid(rec)->cr_uid, 500u);
        EXPECT_EQ(std::string(changelog_rec_xattr(rec)->cr_xattr), v.xattr);
        if (rename) {
            EXPECT_EQ(std::string(changelog_rec_sname(rec)), "old name");
        }
        llapi_changelog_free(&rec);
        llapi_changelog_fini(&priv);

        const std::string n = std::to_string(index);
        testsupport::Outcome printed = testsupport::Run({SIM_BIN_DIR "/lfs", "changelog", kMdt, n, n}, env);
        ASSERT_EQ(printed.status, 0) << printed.err;
        ASSERT_FALSE(printed.out.empty());
        printed.out.pop_back();  // the line end
        LustreAPI::CChangelogRecord r;
        ASSERT_FALSE(LustreAPI::ParseChangelogRecord(printed.out, r).Failed()) << printed.out;
        EXPECT_EQ(r.m_index, index);
        EXPECT_EQ(r.m_type, type);
        EXPECT_EQ(r.m_typeName, roundtrip::kTypeNames[type]);
        EXPECT_EQ(r.m_seconds, 1700000000);
        EXPECT_EQ(r.m_nanoseconds, 123456789u);
        EXPECT_EQ(r.m_target.Text(), "[0x200000401:0x" + std::to_string(type + 1) + ":0x0]");
        EXPECT_EQ(r.m_jobId, v.jobid);
        EXPECT_EQ(r.m_extraFlags, 0xfu);
        EXPECT_EQ(r.m_uid, 500);
        EXPECT_EQ(r.m_gid, 501);
        EXPECT_EQ(r.m_nid, v.nid);
        EXPECT_EQ(r.m_openMode, v.mode);
        EXPECT_EQ(r.m_xattr, v.xattr);
        EXPECT_EQ(r.m_name, v.name);
        EXPECT_EQ(r.m_sourceName, rename ? "old name" : "");
    }
    // Lustre's record has no room for these, nor a number for this NID or mode;
    // nor does an MDT write an open mode or an attribute name into a CREAT.
    for (const auto& [option, value, says] :
         {std::tuple<std::string, std::string, std::string>{"--jobid", std::string(32, 'j'), "32"},
          {"--name", std::string(256, 'n'), "256"},
          {"--nid", "10.0.0.1@tcp0", "10.0.0.1@tcp0"},
          {"--mode", "rwx", "rwx"},
          {"--mode", "r--", "only in OPEN and NOPEN records"},
          {"--xattr", "user.a", "only in XATTR and GXATR records"}}) {
        const testsupport::Outcome refused = testsupport::Run({sim, "changelog-append", kMdt, "CREAT", option, value}, env);
        EXPECT_EQ(refused.status, 1) << option;
        EXPECT_NE(refused.err.find(says), std::string::npos) << refused.err;
    }
}

// An MDT writes the uid, gid and NID into every record, the open mode only
// into OPEN ones: a reader asking for those three parts finds every name,
// the open mode it asked for zero where the record had none.
TEST_F(StandInCalls, ReaderAskingFewerPartsFindsEveryName)
{
    const std::map<std::string, std::string> env = {{"PATH", std::string(SIM_BIN_DIR ":") + std::getenv("PATH")}};
    for (const char* type : {"CREAT", "MKDIR", "HLINK", "SLINK", "MKNOD", "UNLNK", "RMDIR", "RENME", "OPEN"}) {
        std::vector<std::string> argv = {SIM_BIN_DIR "/lustre-sim", "changelog-append", kMdt, type, "--uid", "7"};
        if (std::string(type) == "OPEN")
            argv.insert(argv.end(), {"--mode", "-w-"});
        else
            argv.insert(argv.end(), {"--name", std::string("n-") + type});
        if (std::string(type) == "RENME") argv.insert(argv.end(), {"--sfid", "[0x200000401:0x9:0x0]", "--sparent", "[0x200000007:0x1:0x0]", "--sname", "s"});
        ASSERT_EQ(testsupport::Run(argv, env).status, 0) << type;
    }
    void* priv = nullptr;
    ASSERT_EQ(llapi_changelog_start(&priv, CHANGELOG_FLAG_EXTRA_FLAGS, kMdt, 0), 0);
    ASSERT_EQ(llapi_changelog_set_xflags(priv, static_cast<changelog_send_extra_flag>(
                                                   CHANGELOG_EXTRA_FLAG_UIDGID | CHANGELOG_EXTRA_FLAG_NID |
                                                   CHANGELOG_EXTRA_FLAG_OMODE)),
              0);
    changelog_rec* rec = nullptr;
    std::string seen;
    while (llapi_changelog_recv(priv, &rec) == 0) {
        EXPECT_EQ(changelog_rec_extra_flags(rec)->cr_extra_flags, 0x7u) << rec->cr_index;
        if (rec->cr_index > 1) {
            EXPECT_EQ(changelog_rec_uidgid(rec)->cr_uid, 7u) << rec->cr_index;
        }
        seen += std::string(changelog_rec_name(rec), strnlen(changelog_rec_name(rec), rec->cr_namelen));
        if (rec->cr_flags & CLF_RENAME && changelog_rec_snamelen(rec)) seen += "<" + std::string(changelog_rec_sname(rec));
        if (rec->cr_type == CL_OPEN) seen += "m" + std::to_string(changelog_rec_openmode(rec)->cr_openflags);
        seen += " ";
        llapi_changelog_free(&rec);
    }
    llapi_changelog_fini(&priv);
    EXPECT_EQ(seen, "f n-CREAT n-MKDIR n-HLINK n-SLINK n-MKNOD n-UNLNK n-RMDIR n-RENME<s m2 ");
}
