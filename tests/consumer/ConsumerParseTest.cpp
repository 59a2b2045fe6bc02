// The consumer's readers in-process, through the scripted runner: every
// record format and every changelog_users listing format from golden lines.
// What the operations run, refuse and log is replayed in tests/changelog.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChangelogTestSupport.h"
#include "FakeZqProcess.h"
#include "KxUtils.h"
#include "LustreAPI.h"

using changelog_test::IsError774;

namespace {

const char kParseFunction[] = "CKxError LustreAPI::ParseChangelogRecord(const string&, CChangelogRecord&)";

// The record as the data files write it: tab-separated, absent fields left out.
std::string Describe(const LustreAPI::CChangelogRecord& r)
{
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
    for (const auto& [key, value] :
         {std::pair<const char*, const std::string&>{"nid=", r.m_nid}, {"m=", r.m_openMode}, {"x=", r.m_xattr}})
        add(key, value);
    add("p=", fid(r.m_parent));
    add("name=", r.m_name);
    add("s=", fid(r.m_source));
    add("sp=", fid(r.m_sourceParent));
    add("sname=", r.m_sourceName);
    return out;
}

bool Take(std::string& line, const std::string& prefix)
{
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    line.erase(0, prefix.size());
    return true;
}

// A record no line produces, to see that failures leave it alone.
LustreAPI::CChangelogRecord Marker()
{
    LustreAPI::CChangelogRecord marker;
    marker.m_index = 424242;
    marker.m_name = "untouched";
    return marker;
}

void Reply(int status, const std::string& out, const std::string& err = "")
{
    zq_fake_set_reply(status, out.data(), out.size(), err.data(), err.size());
}

TEST(ChangelogRecord, EveryFormatFromGoldenLines)
{
    int cases = 0;
    std::string line;
    for (std::string row : changelog_test::ReadLines(CONSUMER_DATA_DIR "/changelog_records.txt")) {
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

TEST(ChangelogUsers, EveryListingFormat)
{
    const std::vector<std::string> rows = changelog_test::ReadLines(CONSUMER_DATA_DIR "/changelog_users.txt");
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
        EXPECT_EQ(zq_fake_last_command(),
                  std::string("ssh root@mds1 'lctl get_param mdd.lustre-MDT0000.changelog_users'"));
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

}  // namespace
