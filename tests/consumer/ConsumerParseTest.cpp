// The consumer operations in-process, through the scripted runner: every
// record format from golden lines, every changelog_users listing format, and
// what each operation runs, refuses and leaves untouched.
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChangelogTestSupport.h"
#include "FakeZqProcess.h"
#include "KxUtils.h"
#include "LustreAPI.h"

using changelog_test::IsError774;
using changelog_test::RecordingLogWriter;
using ::testing::ElementsAre;

namespace {

const char kParseFunction[] = "CKxError LustreAPI::ParseChangelogRecord(const string&, CChangelogRecord&)";
const char kReadFunction[] = "CKxError LustreAPI::ReadChangelogs(const string&, const string&, const string&, "
                             "std::vector<CChangelogRecord>&)";
const char kClearFunction[] = "CKxError LustreAPI::ClearChangelog(const string&, const string&, const string&)";
const char kUsersFunction[] = "CKxError LustreAPI::GetChangelogUsers(const string&, const string&, const string&, "
                              "const string&, long long unsigned int&, std::vector<CChangelogUser>&)";

std::string Fid(const LustreAPI::CLustreFID& fid) {
    return HBString::Format("[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
}

bool IsZero(const LustreAPI::CLustreFID& fid) { return fid.m_seq == 0 && fid.m_oid == 0 && fid.m_ver == 0; }

// The record as the data files write it: tab-separated, absent fields left out.
std::string Describe(const LustreAPI::CChangelogRecord& r) {
    std::vector<std::string> f = {
        HBString::Format("index=%llu", r.m_index), HBString::Format("type=%d %s", r.m_type, r.m_typeName.c_str()),
        HBString::Format("time=%lld.%09u", r.m_seconds, r.m_nanoseconds), HBString::Format("flags=0x%x", r.m_flags)};
    const auto text = [&](const char* key, const std::string& value) {
        if (!value.empty()) f.push_back(key + value);
    };
    const auto fid = [&](const char* key, const LustreAPI::CLustreFID& value) {
        if (!IsZero(value)) f.push_back(key + Fid(value));
    };
    fid("t=", r.m_target);
    text("j=", r.m_jobId);
    if (r.m_extraFlags != 0) f.push_back(HBString::Format("ef=0x%llx", r.m_extraFlags));
    if (r.m_uid != -1 || r.m_gid != -1) f.push_back(HBString::Format("u=%lld:%lld", r.m_uid, r.m_gid));
    text("nid=", r.m_nid);
    text("m=", r.m_openMode);
    text("x=", r.m_xattr);
    fid("p=", r.m_parent);
    text("name=", r.m_name);
    fid("s=", r.m_source);
    fid("sp=", r.m_sourceParent);
    text("sname=", r.m_sourceName);
    std::string out;
    for (const std::string& field : f) out += (out.empty() ? "" : "\t") + field;
    return out;
}

std::vector<std::string> DataLines(const std::string& name) {
    std::ifstream in(std::string(CONSUMER_DATA_DIR) + "/" + name);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    EXPECT_FALSE(lines.empty()) << name;
    return lines;
}

bool Take(std::string& line, const std::string& prefix) {
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    line.erase(0, prefix.size());
    return true;
}

// A record no line produces, to see that failures leave it alone.
LustreAPI::CChangelogRecord Marker() {
    LustreAPI::CChangelogRecord marker;
    marker.m_index = 424242;
    marker.m_name = "untouched";
    return marker;
}

void Reply(int status, const std::string& out, const std::string& err = "") {
    zq_fake_set_reply(status, out.data(), out.size(), err.data(), err.size());
}

TEST(ChangelogRecord, EveryFormatFromGoldenLines) {
    int cases = 0;
    std::string line;
    for (std::string row : DataLines("changelog_records.txt")) {
        if (Take(row, "line: ")) {
            line = row;
        } else if (Take(row, "want: ")) {
            SCOPED_TRACE(line);
            LustreAPI::CChangelogRecord record;
            const CKxError error = LustreAPI::ParseChangelogRecord(line, record);
            ASSERT_FALSE(error.Failed()) << error.ToString();
            EXPECT_EQ(Describe(record), row);
            ++cases;
        } else if (Take(row, "bad: ")) {
            SCOPED_TRACE(row);
            LustreAPI::CChangelogRecord record = Marker();
            EXPECT_TRUE(IsError774(LustreAPI::ParseChangelogRecord(row, record),
                                   "Cannot read the changelog record \"" + row + "\"", kParseFunction));
            EXPECT_EQ(Describe(record), Describe(Marker()));
            ++cases;
        }
    }
    EXPECT_GE(cases, 40);
}

TEST(ChangelogUsers, EveryListingFormat) {
    const std::vector<std::string> rows = DataLines("changelog_users.txt");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::string title = rows[i];
        if (!Take(title, "== ")) continue;
        std::string listing;
        std::string want;
        for (++i; i < rows.size() && !Take(want = rows[i], "-> "); ++i) listing += rows[i] + "\n";
        SCOPED_TRACE(title);
        Reply(0, listing);
        unsigned long long current = 99;
        std::vector<LustreAPI::CChangelogUser> users(1);
        users[0].m_id = "untouched";
        const CKxError error = LustreAPI::GetChangelogUsers("mds1", "lustre-MDT0000", "lustre", "root", current, users);
        EXPECT_EQ(zq_fake_last_command(), std::string("ssh root@mds1 'lctl get_param mdd.lustre-MDT0000.changelog_users'"));
        if (want == "error") {
            EXPECT_TRUE(error.Failed());
            EXPECT_EQ(current, 99u);
            EXPECT_EQ(users.size(), 1u);
            continue;
        }
        ASSERT_FALSE(error.Failed()) << error.ToString();
        std::string got = std::to_string(current);
        for (const auto& u : users)
            got += HBString::Format(" | %s %llu %lld %s", u.m_id.c_str(), u.m_index, u.m_idleSeconds,
                                    u.m_mask.empty() ? "-" : u.m_mask.c_str());
        EXPECT_EQ(got, want);
    }
}

TEST(ChangelogUsers, UnreadableLinesAreQuotedAndFailedCommandsLogged) {
    RecordingLogWriter log;
    Reply(0, "current_index: 3\ncl1 \x01 2\n");
    unsigned long long current = 0;
    std::vector<LustreAPI::CChangelogUser> users;
    EXPECT_TRUE(IsError774(LustreAPI::GetChangelogUsers("mds1", "lustre-MDT0000", "lustre", "root", current, users),
                           "Cannot read the line \"cl1 \\x01 2\" of lctl get_param mdd.lustre-MDT0000.changelog_users",
                           kUsersFunction));

    Reply(255, "", "root@mds1: Permission denied (publickey).\n");
    EXPECT_TRUE(LustreAPI::GetChangelogUsers("mds1", "lustre-MDT0000", "lustre", "root", current, users).Failed());
    EXPECT_THAT(log.Texts(), ElementsAre(::testing::StartsWith("Command ssh root@mds1"),
                                         "Cannot get the changelog users of the MDT lustre-MDT0000 for Lustre FS lustre",
                                         "Check whether keyless ssh is enabled for the user root on the host mds1"));
}

TEST(ReadChangelogs, AppendsInOrderOrLeavesRecordsAlone) {
    const std::string a = "5 01CREAT 04:24:09.779203918 2024.08.20 0x0 t=[0x200000400:0x5:0x0] p=[0x200000007:0x1:0x0] a";
    const std::string b = "6 06UNLNK 04:24:10.000000000 2024.08.20 0x1 t=[0x200000400:0x5:0x0] p=[0x200000007:0x1:0x0] a";
    const std::string command = "lfs changelog lustre-MDT0000 5 9";
    struct Row {
        int status;
        std::string out, err;
        std::string error;  // "" for success
        std::size_t records;
    } rows[] = {
        {0, a + "\n" + b + "\n", "", "", 3},
        {0, "", "", "", 1},  // an empty range prints nothing
        {0, a + "\n\n" + b, "", "", 3},
        {0, a + "\nnot a record\n" + b + "\n", "",
         "Cannot read the changelog record \"not a record\" printed by " + command, 1},
        {0, b + "\n" + a + "\n", "", "The changelog record \"" + a + "\" printed by " + command + " does not follow record 6",
         1},
        {2, a + "\n", "lfs changelog: cannot start changelog: No such file or directory\n",
         "Command " + command + " failed with Error lfs changelog: cannot start changelog: No such file or directory\n", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.out);
        Reply(row.status, row.out, row.err);
        std::vector<LustreAPI::CChangelogRecord> records{Marker()};
        const CKxError error = LustreAPI::ReadChangelogs("lustre-MDT0000", "5", "9", records);
        EXPECT_EQ(zq_fake_last_command(), command);
        if (row.error.empty())
            EXPECT_FALSE(error.Failed()) << error.ToString();
        else
            EXPECT_TRUE(IsError774(error, row.error, kReadFunction));
        ASSERT_EQ(records.size(), row.records);
        EXPECT_EQ(records[0].m_name, "untouched");
        if (row.records == 3) {
            EXPECT_EQ(records[1].m_index * 10 + records[2].m_index, 56u);
        }
    }
}

TEST(ClearChangelog, RunsOnlyADecimalEndRecord) {
    RecordingLogWriter log;
    for (const std::string end : {"0", "42", "007", "9223372036854775807"}) {
        Reply(0, "");
        EXPECT_FALSE(LustreAPI::ClearChangelog("lustre-MDT0000", "cl2-watcher", end).Failed());
        EXPECT_EQ(zq_fake_last_command(), "lfs changelog_clear lustre-MDT0000 cl2-watcher " + end);
    }
    EXPECT_EQ(log.Texts().back(), "The changelog reader cl2-watcher at MDT lustre-MDT0000 acknowledged the records up "
                                  "to 9223372036854775807");
    // lfs reads each of these as 0 or as a negative number: refused before anything runs.
    const std::pair<std::string, std::string> refused[] = {
        {"", "The end record \"\" is refused: it is empty"},
        {"abc", "The end record \"abc\" is refused: it holds the character 'a'"},
        {"5abc", "The end record \"5abc\" is refused: it holds the character 'a'"},
        {"+5", "The end record \"+5\" is refused: it holds the character '+'"},
        {" 5", "The end record \" 5\" is refused: it holds the character ' '"},
        {"-1", "The end record \"-1\" is refused: it begins with '-'"},
        {"9223372036854775808", "The end record \"9223372036854775808\" is refused: it is beyond 9223372036854775807"},
    };
    const unsigned long calls = zq_fake_call_count();
    for (const auto& [end, message] : refused)
        EXPECT_TRUE(IsError774(LustreAPI::ClearChangelog("lustre-MDT0000", "cl1", end), message, kClearFunction)) << end;
    EXPECT_TRUE(LustreAPI::ClearChangelog("lustre-MDT0000", "cl1;reboot", "0").Failed());
    EXPECT_EQ(zq_fake_call_count(), calls);

    Reply(2, "", "changelog_clear: no changelog user: cl1\n");
    EXPECT_TRUE(IsError774(LustreAPI::ClearChangelog("lustre-MDT0000", "cl1", "3"),
                           "Command lfs changelog_clear lustre-MDT0000 cl1 3 failed with Error changelog_clear: no "
                           "changelog user: cl1\n",
                           kClearFunction));
}

}  // namespace
