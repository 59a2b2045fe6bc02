// The changelog reader against the stand-in: in-process through Lustre's
// changelog calls (READER_IN_PROCESS=1, the full stand-in library) or
// streaming lfs (the library without them), the same checks both ways.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "DataFiles.h"
#include "KxUtils.h"
#include "LustreAPI.h"

using namespace std::chrono;
using LustreAPI::CChangelogReader;
using LustreAPI::CChangelogRecord;

namespace {

const std::string kSimBin = SIM_BIN_DIR;
const std::string kMdt = "lustre-MDT0000";
const bool kInProcess = std::getenv("READER_IN_PROCESS") != nullptr;

class Reader : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(LustreAPI::LoadFunctions().Failed());
        Sim("version " + std::string(GetParam()));
    }
    static void Sim(const std::string& arguments)
    {
        const testsupport::Outcome o = testsupport::Shell("lustre-sim " + arguments);
        ASSERT_EQ(o.status, 0) << arguments << ": " << o.err;
    }
    // Every record the reader gives, until it ends or waits in vain.
    static std::vector<CChangelogRecord> ReadAll(CChangelogReader& reader, milliseconds wait = milliseconds(0))
    {
        std::vector<CChangelogRecord> records;
        for (bool got = true; got;) {
            CChangelogRecord r;
            EXPECT_FALSE(reader.Next(r, wait, got).Failed());
            if (got) records.push_back(r);
        }
        return records;
    }

    testsupport::StandInState state;
    testsupport::ScopedEnv path{"PATH", kSimBin + ":" + std::getenv("PATH")};
};

std::string Values(const CChangelogRecord& r)
{
    const auto fid = [](const LustreAPI::CLustreFID& f) { return f.Text(); };
    return HBString::Format(
        "%llu %d %s %lld.%09u 0x%x t=%s j=<%s> ef=0x%llx u=%lld:%lld nid=%s m=%s x=%s p=%s <%s> "
        "s=%s sp=%s <%s>",
        r.m_index, r.m_type, r.m_typeName.c_str(), r.m_seconds, r.m_nanoseconds, r.m_flags, fid(r.m_target).c_str(),
        r.m_jobId.c_str(), r.m_extraFlags, r.m_uid, r.m_gid, r.m_nid.c_str(), r.m_openMode.c_str(), r.m_xattr.c_str(),
        fid(r.m_parent).c_str(), r.m_name.c_str(), fid(r.m_source).c_str(), fid(r.m_sourceParent).c_str(),
        r.m_sourceName.c_str());
}

TEST_P(Reader, GivesWhatLfsPrintsForEveryRecord)
{
    for (const testsupport::DataRow& row : testsupport::ReadRows(READER_DATA_DIR "/records.txt"))
        Sim("changelog-append " + kMdt + " " + row.fields.at(0) + " >/dev/null");
    const testsupport::Outcome lfs = testsupport::Shell("lfs changelog " + kMdt + " 2");
    ASSERT_EQ(lfs.status, 0) << lfs.err;
    std::vector<std::string> printed;
    std::istringstream lines(lfs.out);
    for (std::string line; std::getline(lines, line);) {
        CChangelogRecord r;
        ASSERT_FALSE(LustreAPI::ParseChangelogRecord(line, r).Failed()) << line;
        printed.push_back(Values(r));
    }
    ASSERT_EQ(printed.size(), 30u);

    CChangelogReader reader;
    ASSERT_FALSE(reader.Open(kMdt, 2, false).Failed());
    EXPECT_EQ(reader.InProcess(), kInProcess);
    std::vector<std::string> read;
    // The longest wait is a deadline too (no overflow).
    for (const CChangelogRecord& r : ReadAll(reader, milliseconds::max())) read.push_back(Values(r));
    EXPECT_EQ(read, printed);
    // ReadChangelogs takes the same way and keeps its range.
    std::vector<CChangelogRecord> ranged;
    ASSERT_FALSE(LustreAPI::ReadChangelogs(kMdt, "9", "10", ranged).Failed());
    ASSERT_EQ(ranged.size(), 2u);
    EXPECT_EQ(Values(ranged[1]), printed[8]);
}

TEST_P(Reader, FollowsRecordsOfAnotherProcessAndWaitsAsAsked)
{
    Sim("changelog-append " + kMdt + " CREAT --name first >/dev/null");
    CChangelogReader reader;
    ASSERT_FALSE(reader.Open(kMdt, 0, true).Failed());
    EXPECT_GE(reader.Descriptor(), 0);
    CChangelogRecord first;
    bool gotFirst = false;
    EXPECT_FALSE(reader.Next(first, seconds(60), gotFirst).Failed());
    EXPECT_EQ(first.m_index, 1u);
    // With nothing more to read, a wait ends, and not before its time.
    for (const milliseconds wait : {milliseconds(0), milliseconds(250)}) {
        const auto start = steady_clock::now();
        EXPECT_TRUE(ReadAll(reader, wait).empty());
        EXPECT_GE(steady_clock::now() - start, wait);
    }
    std::thread writer([] { Sim("changelog-append " + kMdt + " UNLNK --name first --flags 0x1 >/dev/null"); });
    CChangelogRecord r;
    bool got = false;
    EXPECT_FALSE(reader.Next(r, seconds(60), got).Failed());
    writer.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(r.m_index, 2u);
    EXPECT_EQ(r.m_name, "first");
}

TEST_P(Reader, CloseEndsAWaitOnAnotherThread)
{
    CChangelogReader reader;
    ASSERT_FALSE(reader.Open(kMdt, 0, true).Failed());
    std::atomic<bool> failed{false}, got{true};
    std::thread waiter([&] {
        CChangelogRecord r;
        bool g = true;
        failed = reader.Next(r, seconds(60), g).Failed();
        got = g;
    });
    // Whether or not the waiter is already waiting, Close ends its Next with
    // a failure; had it to wait the 60 seconds out, it would end without one.
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_FALSE(reader.Close().Failed());
    waiter.join();
    EXPECT_TRUE(failed);
    EXPECT_FALSE(got);
    EXPECT_EQ(reader.Descriptor(), -1);
}

TEST_P(Reader, UnknownMdtFails)
{
    CChangelogReader reader;
    CKxError error = reader.Open("lustre-MDT0009", 0, false);
    if (!error.Failed()) {
        CChangelogRecord r;
        bool got = true;
        error = reader.Next(r, milliseconds(0), got);
        EXPECT_FALSE(got);
    }
    ASSERT_TRUE(error.Failed());
    EXPECT_EQ(error.GetMessages().back(),
              kInProcess ? "Cannot read the changelog of MDT lustre-MDT0009: llapi_changelog_start failed with Error "
                           "No such file or directory (2)"
                         : std::string("Command lfs changelog lustre-MDT0009 0 failed with Error ") +
                               (GetParam() == std::string("2.10") ? "Can't" : "lfs changelog: cannot") +
                               " start changelog: No such file or directory\n");
    EXPECT_TRUE(reader.Open("lustre;MDT0000", 0, false).Failed());
}

TEST_P(Reader, LeavesNothingBehindAfterManyOpens)
{
    Sim("changelog-append " + kMdt + " CREAT --count 50 >/dev/null");
    // Counted after the first reader: the stand-in keeps its store open from
    // then on (and a sanitizer may start a thread of its own).
    int fds = 0;
    long before = 0;
    const auto threads = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                             std::filesystem::directory_iterator());
    };
    for (int i = 0; i < 40; ++i) {
        if (i == 1) {
            fds = testsupport::OpenFdCount();
            before = threads();
        }
        CChangelogReader reader;
        ASSERT_FALSE(reader.Open(kMdt, 0, i % 2 == 0).Failed());
        CChangelogRecord r;
        bool got = false;
        ASSERT_FALSE(reader.Next(r, seconds(60), got).Failed());
        EXPECT_TRUE(got);
        CChangelogReader moved(std::move(reader));  // the moved one closes, the other does nothing
    }
    EXPECT_EQ(testsupport::OpenFdCount(), fds);
    EXPECT_EQ(threads(), before);  // no reader's thread is left
}

TEST_P(Reader, ClearAcknowledgesAsLfsDoes)
{
    ASSERT_EQ(testsupport::Shell("lctl --device " + kMdt + " changelog_register").status, 0);
    Sim("changelog-append " + kMdt + " CREAT --count 5 >/dev/null");
    EXPECT_FALSE(LustreAPI::ClearChangelog(kMdt, "cl1", "3").Failed());
    std::vector<CChangelogRecord> left;
    ASSERT_FALSE(LustreAPI::ReadChangelogs(kMdt, "", "", left).Failed());
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].m_index, 4u);
    EXPECT_TRUE(LustreAPI::ClearChangelog(kMdt, "cl9", "4").Failed());
    EXPECT_TRUE(LustreAPI::ClearChangelog(kMdt, "cl1", "99").Failed());
}

// Records as Lustre 2.15's lfs prints them and the values they hold, both
// written from Lustre's format code (data/lustre215.txt): the stand-in's lfs
// prints each line byte for byte, and the reader hands out those values.
class Lustre215 : public Reader {};

TEST_P(Lustre215, HandsOutWhatTheRecordsHold)
{
    std::string expected;
    std::vector<std::string> values;
    for (const testsupport::DataRow& row : testsupport::ReadRows(READER_DATA_DIR "/lustre215.txt")) {
        Sim("changelog-append " + kMdt + " " + row.fields.at(0) + " >/dev/null");
        expected += row.fields.at(1) + "\n";
        values.push_back(row.expected);
    }
    const testsupport::Outcome lfs = testsupport::Shell("lfs changelog " + kMdt);
    ASSERT_EQ(lfs.status, 0) << lfs.err;
    EXPECT_EQ(lfs.out, expected);

    CChangelogReader reader;
    ASSERT_FALSE(reader.Open(kMdt, 0, false).Failed());
    EXPECT_EQ(reader.InProcess(), kInProcess);
    std::vector<std::string> read;
    for (const CChangelogRecord& r : ReadAll(reader)) read.push_back(Values(r));
    EXPECT_EQ(read, values);
}

// A NID the stand-in cannot store as Lustre does, as a number, is refused.
TEST_P(Reader, StandInRefusesANidItCannotEncode)
{
    for (const char* nid : {"10.0.0.1@efa0", "10.0.0.256@tcp", "1@<2:0>", "A@<17:0>", "lo", "0@nonet"}) {
        const testsupport::Outcome o =
            testsupport::Shell("lustre-sim changelog-append " + kMdt + " CREAT --name f --nid '" + nid + "'");
        EXPECT_NE(o.status, 0) << nid;
        EXPECT_NE(o.err.find("bad NID '" + std::string(nid) + "'"), std::string::npos) << o.err;
    }
}

// A metadata server that never answers (lustre-sim hang) reaches both ways
// of reading: a following reader's wait ends without a record, and
// ReadChangelogs with a time limit fails by it; once the server answers
// again the record comes.
TEST_P(Reader, HungServerEndsWaitsOnTime)
{
    Sim("changelog-append " + kMdt + " CREAT --name first >/dev/null");
    Sim("hang localhost");
    CChangelogReader reader;
    ASSERT_FALSE(reader.Open(kMdt, 0, true).Failed());
    // While it hangs no record can come: only the wait ends Next, and only
    // the limit ReadChangelogs.
    CChangelogRecord r;
    bool got = true;
    EXPECT_FALSE(reader.Next(r, milliseconds(300), got).Failed());
    EXPECT_FALSE(got);
    std::vector<CChangelogRecord> records;
    const CKxError limited = LustreAPI::ReadChangelogs(kMdt, "1", "1", records, milliseconds(400));
    ASSERT_TRUE(limited.Failed());
    EXPECT_EQ(limited.GetMessages().back(), kInProcess
                                                ? "Reading the changelog of MDT " + kMdt +
                                                      " in-process did not finish within its time limit of 400 ms"
                                                : "Command lfs changelog " + kMdt +
                                                      " 1 1 was ended: it did not finish within its time "
                                                      "limit of 400 ms");
    EXPECT_TRUE(records.empty());
    Sim("unhang localhost");
    ASSERT_FALSE(reader.Next(r, seconds(60), got).Failed());
    EXPECT_TRUE(got);
    EXPECT_EQ(r.m_name, "first");
}

INSTANTIATE_TEST_SUITE_P(Version215, Lustre215, testing::Values("2.15"));
INSTANTIATE_TEST_SUITE_P(Versions, Reader, testing::Values("2.10", "2.12", "2.15", "2.17"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = std::string("Lustre") + info.param;
                             name.erase(std::remove(name.begin(), name.end(), '.'), name.end());
                             return name;
                         });

}  // namespace
