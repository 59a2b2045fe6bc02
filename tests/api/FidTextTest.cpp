// The FID value type and its text form: what the string constructor accepts,
// what it refuses with a log line, and what it lets throw (data/fid_text.txt);
// the strict parse (data/fid_parse.txt), the text form, lu_fid, comparison and
// hashing.
#include <algorithm>
#include <cerrno>
#include <set>
#include <stdexcept>
#include <unordered_set>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

using LustreAPI::CLustreFID;
using testsupport::CapturingLogWriter;

std::string Fields(const CLustreFID& fid)
{
    char fields[64];
    std::snprintf(fields, sizeof fields, "0x%llx:0x%x:0x%x", fid.m_seq, fid.m_oid, fid.m_ver);
    return fields;
}

// What constructing a FID from text gives: its fields and the lines logged,
// or the exception thrown.
std::string Parse(const std::string& text)
{
    CapturingLogWriter log;
    std::string outcome;
    try {
        outcome = Fields(CLustreFID{text});
    } catch (const std::invalid_argument& e) {
        outcome = std::string("invalid_argument ") + e.what();
    } catch (const std::out_of_range& e) {
        outcome = std::string("out_of_range ") + e.what();
    }
    for (const auto& line : log.lines) {
        EXPECT_EQ(line.level, 0);
        EXPECT_EQ(line.function, "LustreAPI::CLustreFID::CLustreFID(std::string)");
        outcome += "; logged " + line.text;
    }
    return outcome;
}

TEST(FidTextForm, TextFormsParseRefuseOrThrow)
{
    for (const testsupport::DataRow& row : testsupport::ReadRows(API_DATA_DIR "/fid_text.txt")) {
        EXPECT_EQ(Parse(row.fields.at(0)), row.expected) << row.line;
    }
}

// Parse accepts what Lustre reads as a FID, whole, and nothing else; a
// refusal quotes the text, leaves the FID as it was and logs nothing.
TEST(FidStrictParse, TextsAcceptedOrRefused)
{
    for (const testsupport::DataRow& row : testsupport::ReadRows(API_DATA_DIR "/fid_parse.txt")) {
        const std::string& text = row.fields.at(0);
        CapturingLogWriter log;
        CLustreFID fid;
        fid.m_seq = 7;
        const CKxError error = CLustreFID::Parse(text, fid);
        if (error.Failed()) {
            const std::string& quoted = row.fields.size() > 1 ? row.fields[1] : text;
            const std::string prefix = "The text \"" + quoted + "\" is not a FID: ";
            EXPECT_EQ(error.GetMessages(), std::vector<std::string>{prefix + row.expected}) << row.line;
            EXPECT_EQ(error.GetSystemError(), 774) << row.line;
            EXPECT_EQ(Fields(fid), "0x7:0x0:0x0") << row.line;
        } else {
            EXPECT_EQ(Fields(fid), row.expected) << row.line;
        }
        EXPECT_TRUE(log.lines.empty()) << row.line;
    }
}

// The text form is the library's format "[0x%llx:0x%x:0x%x]", and both
// readers give the same FID back; lu_fid carries the same three fields.
TEST(FidStrictParse, TextAndLuFidRoundTrips)
{
    const CLustreFID fids[] = {
        CLustreFID(lu_fid{0, 0, 0}),
        CLustreFID(lu_fid{0x200000400, 0x1c, 0}),
        CLustreFID(lu_fid{0x1, 0xabcdef, 0x10}),
        CLustreFID(lu_fid{0xfffffffffffffffe, 0xffffffff, 0xffffffff}),
        CLustreFID(lu_fid{0x8000000000000000, 0x80000000, 0x1}),
    };
    for (const CLustreFID& fid : fids) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
        EXPECT_EQ(fid.Text(), expected);
        CLustreFID parsed;
        EXPECT_FALSE(CLustreFID::Parse(fid.Text(), parsed).Failed()) << expected;
        EXPECT_EQ(parsed, fid) << expected;
        EXPECT_EQ(CLustreFID(fid.Text()), fid) << expected;
        const lu_fid raw = fid.LuFid();
        EXPECT_EQ(Fields(CLustreFID(raw)), Fields(fid));
        EXPECT_EQ(raw.f_seq, fid.m_seq);
        EXPECT_EQ(raw.f_oid, fid.m_oid);
        EXPECT_EQ(raw.f_ver, fid.m_ver);
    }
}

// Order: sequence, then object id, then version, each unsigned.
TEST(FidStrictParse, ComparisonAndHash)
{
    const std::vector<CLustreFID> ascending = {
        CLustreFID(lu_fid{0, 0, 0}),
        CLustreFID(lu_fid{0, 0, 1}),
        CLustreFID(lu_fid{0, 1, 0}),
        CLustreFID(lu_fid{0, 0xffffffff, 0xffffffff}),
        CLustreFID(lu_fid{1, 0, 0}),
        CLustreFID(lu_fid{0x200000400, 0x1c, 0}),
        CLustreFID(lu_fid{0x200000400, 0x1c, 0x80000000}),
        CLustreFID(lu_fid{~0ULL, 0, 0}),
    };
    for (size_t i = 0; i < ascending.size(); ++i) {
        for (size_t j = 0; j < ascending.size(); ++j) {
            const CLustreFID &a = ascending[i], &b = ascending[j];
            SCOPED_TRACE(a.Text() + " against " + b.Text());
            EXPECT_EQ(a == b, i == j);
            EXPECT_EQ(a != b, i != j);
            EXPECT_EQ(a < b, i < j);
            EXPECT_EQ(a > b, i > j);
            EXPECT_EQ(a <= b, i <= j);
            EXPECT_EQ(a >= b, i >= j);
        }
    }
    std::vector<CLustreFID> shuffled(ascending.rbegin(), ascending.rend());
    std::sort(shuffled.begin(), shuffled.end());
    EXPECT_TRUE(shuffled == ascending);

    const std::hash<CLustreFID> hash;
    EXPECT_EQ(hash(CLustreFID(std::string("[0x200000400:0x1c:0x0]"))), hash(CLustreFID(lu_fid{0x200000400, 0x1c, 0})));
    std::unordered_set<CLustreFID> distinct(ascending.begin(), ascending.end());
    EXPECT_EQ(distinct.size(), ascending.size());
    // The files of one sequence differ in their object ids: in a table of 1024
    // buckets, 1024 consecutive ones fall into 1024 buckets, whatever the sequence.
    for (unsigned long long seq : {0x200000400ULL, 0x280000401ULL}) {
        std::set<size_t> buckets;
        for (unsigned oid = 1; oid <= 1024; ++oid) buckets.insert(hash(CLustreFID(lu_fid{seq, oid, 0})) % 1024);
        EXPECT_EQ(buckets.size(), 1024u) << seq;
    }
}

// The level's gate is the binding test's (full-quiet); with no writer at all
// there is nothing to log to, and no crash.
TEST(FidTextForm, RefusalWithoutAWriter)
{
    LogWriter* const saved = g_ptrLogWriter;
    g_ptrLogWriter = nullptr;
    const CLustreFID quiet{std::string("nonsense")};
    g_ptrLogWriter = saved;
    EXPECT_EQ(quiet.m_oid, 0u);
}

TEST(FidTextForm, ConversionsKeepTheCallersErrno)
{
    errno = EBUSY;
    CLustreFID{std::string("[0x200:0x1c:0x0]")};
    EXPECT_EQ(errno, EBUSY);

    errno = EBUSY;
    EXPECT_THROW(CLustreFID{std::string("[0x1:0x10000000000000000:0x0]")}, std::out_of_range);
    EXPECT_EQ(errno, ERANGE);  // the conversion's own errno stays
}

}  // namespace
