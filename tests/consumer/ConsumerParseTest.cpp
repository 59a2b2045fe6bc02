// The consumer operations in-process, through the scripted runner: every
// record format from golden lines, every changelog_users listing format, and
// what each operation runs, refuses and leaves untouched.
#include <fstream>
#include <tuple>

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

// The record as the data files write it: tab-separated, absent fields left out.
std::string Describe(const LustreAPI::CChangelogRecord& r) {
    std::string out = HBString::Format("index=%llu\ttype=%d %s\ttime=%lld.%09u\tflags=0x%x", r.m_index, r.m_type,
                                       r.m_typeName.c_str(), r.m_seconds, r.m_nanoseconds, r.m_flags);
    const auto add = [&](const char* key, const std::string& value) {
        if (!value.empty()) out += "\t" + (key + value);
    };
    const auto fid = [](const LustreAPI::CLustreFID& f) {
        return f.m_seq || f.m_oid || f.m_ver ? HBString::Format("[0x%llx:0x%x:0x%x]", f.m_seq, f.m_oid, f.m_ver) : "";
    };
    add("t=", fid(r.m_target));
    add("j=", r.m_jobId);
    add("ef=", r.m_extraFlags ? HBString::Format("0x%llx", r.m_extraFlags) : "");
    add("u=", r.m_uid != -1 || r.m_gid != -1 ? HBString::Format("%lld:%lld", r.m_uid, r.m_gid) : "");
    for (const auto& [key, value] : {std::pair<const char*, const std::string&>{"nid=", r.m_nid}, {"m=", r.m_openMode},
                                     {"x=", r.m_xattr}})
        add(key, value);
    add("p=", fid(r.m_parent));
    add("name=", r.m_name);
    add("s=", fid(r.m_source));
    add("sp=", fid(r.m_sourceParent));
    add("sname=", r.m_sourceName);
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
            EXPECT_TRUE(error.Failed() && error.GetSystemError() == 774);
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

TEST(ChangelogUsers, FailedCommandsAreLogged) {
    RecordingLogWriter log;
    unsigned long long current = 0;
    std::vector<LustreAPI::CChangelogUser> users;
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
    // status, output, standard error, the error ("" for success), the records after
    const std::tuple<int, std::string, std::string, std::string, std::size_t> rows[] = {
        {0, a + "\n" + b + "\n", "", "", 3},
        {0, "", "", "", 1},  // an empty range prints nothing
        {0, a + "\n\n" + b, "", "", 3},
        {0, a + "\nnot a record\n" + b + "\n", "", "Cannot read the changelog record \"not a record\" printed by " + command, 1},
        {0, b + "\n" + a + "\n", "", "The changelog record \"" + a + "\" printed by " + command + " does not follow record 6", 1},
        {0, a + "\n" + b.substr(0, 1) + "0" + b.substr(1), "", "The changelog record \"" + b.substr(0, 1) + "0" + b.substr(1) +
                                                            "\" printed by " + command + " lies outside the range asked for", 1},
        {2, a + "\n", "lfs: failed\n", "Command " + command + " failed with Error lfs: failed\n", 1},
    };
    for (const auto& [status, out, err, message, count] : rows) {
        SCOPED_TRACE(out);
        Reply(status, out, err);
        std::vector<LustreAPI::CChangelogRecord> records{Marker()};
        const CKxError error = LustreAPI::ReadChangelogs("lustre-MDT0000", "5", "9", records);
        EXPECT_EQ(zq_fake_last_command(), command);
        EXPECT_TRUE(message.empty() ? !error.Failed() : IsError774(error, message, kReadFunction)) << error.ToString();
        ASSERT_EQ(records.size(), count);
        EXPECT_EQ(records[0].m_name, "untouched");
        EXPECT_EQ(count == 3 ? records[1].m_index * 10 + records[2].m_index : 56u, 56u);
    }
}

TEST(ClearChangelog, RunsOnlyADecimalEndRecord) {
    RecordingLogWriter log;
    for (const std::string end : {"0", "007", "9223372036854775807"}) {
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
