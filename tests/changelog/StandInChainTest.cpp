// The whole changelog chain against the stand-in lctl, lfs and ssh, once per
// imitated Lustre version: discover the MDTs, register readers, read the
// indexes, let records arrive, dump a range, read it as values, acknowledge,
// resume from the reader's index, deregister. (The exact command lines:
// data/operations.txt; what reaches the far side of ssh: OpenSshTest.)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "KxUtils.h"
#include "LustreAPI.h"
#include "TestSupport.h"

using namespace testsupport;
using ::testing::ElementsAre;

namespace {

const std::string kSimBin = SIM_BIN_DIR;

class StandInChain : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        if (!Exists(kSimBin + "/lustre-sim")) GTEST_SKIP() << "the stand-in tools were not built in " << kSimBin;
        // Two mounts of lustre, one of lustre2; servers named by the addresses the mdc devices show.
        Sim("init " + dir / "state" + " --version " + GetParam() + " && lustre-sim add-fs lustre --mdts 2 && " +
            "lustre-sim add-fs lustre2 && lustre-sim mount lustre " + dir / "mnt" + " && lustre-sim mount lustre " +
            dir / "mnt-again" + " && lustre-sim mount lustre2 " + dir / "mnt2" +
            " && lustre-sim add-mds lustre 0 192.168.0.1 192.168.0.1@tcp && lustre-sim add-mds lustre 1 "
            "192.168.0.2 192.168.0.2@tcp && lustre-sim add-mds lustre2 0 192.168.0.9 192.168.0.9@tcp && "
            "lustre-sim allow-login root 192.168.0.1 && lustre-sim allow-login root 192.168.0.2");
    }

    void Sim(const std::string& arguments)
    {
        const testsupport::Outcome outcome = testsupport::Shell("lustre-sim " + arguments);
        EXPECT_EQ(outcome.status, 0) << "lustre-sim " << arguments << ": " << outcome.err;
    }

    TempDir dir;
    ScopedEnv path{"PATH", kSimBin + ":/usr/bin:/bin"};
    ScopedEnv state{"LUSTRE_SIM_STATE", dir / "state"};
    CapturingLogWriter log;
};

// What a consumer keeps of its reader between runs is only its id: the
// reader's index on the server ("none" once it is gone).
std::string ReaderIndex(const std::string& host, const std::string& mdt, const std::string& reader)
{
    unsigned long long current = 0;
    std::vector<LustreAPI::CChangelogUser> users;
    EXPECT_FALSE(LustreAPI::GetChangelogUsers(host, mdt, "lustre", "root", current, users).Failed());
    const auto found = std::find_if(users.begin(), users.end(), [&](const auto& u) { return u.m_id == reader; });
    return found == users.end() ? "none" : std::to_string(found->m_index);
}

std::string Read(const std::string& mdt, const std::string& start)
{
    std::vector<LustreAPI::CChangelogRecord> records;
    EXPECT_FALSE(LustreAPI::ReadChangelogs(mdt, start, "", records).Failed());
    std::string text;
    for (const auto& r : records) text += std::to_string(r.m_index) + " " + r.m_name + "/" + r.m_sourceName + ";";
    return text;
}

TEST_P(StandInChain, RunsFromDiscoveryToDeregistration)
{
    std::vector<std::string> names, servers;
    ASSERT_FALSE(LustreAPI::GetMDTList("lustre", names, servers).Failed());
    EXPECT_THAT(names, ElementsAre("lustre-MDT0000", "lustre-MDT0001"));
    ASSERT_THAT(servers, ElementsAre("192.168.0.1", "192.168.0.2"));
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string &mdt = names[i], &host = servers[i];
        SCOPED_TRACE(mdt);
        Sim("changelog-append " + mdt + " MKDIR --name before --count 2");  // before the readers: not their concern
        std::string reader, other, current, start, end;
        ASSERT_FALSE(LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", reader).Failed());
        ASSERT_FALSE(LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", other).Failed());
        ASSERT_FALSE(LustreAPI::GetChangelogCurrentIndex(host, mdt, "lustre", "root", current).Failed());
        Sim("changelog-append " + mdt + " CREAT --name 'file with spaces' --count 2 && lustre-sim changelog-append " +
            mdt +
            " RENME --name 'new name' --sfid 0x200000400:0x2:0x0 --sparent 0x200000007:0x1:0x0 --sname 'file "
            "with spaces'");
        ASSERT_FALSE(
            LustreAPI::GetStartAndEndChangelogRecordNumbers(host, mdt, "lustre", "root", reader, start, end).Failed());
        EXPECT_EQ(reader + " " + other + " " + current + " " + start + " " + end, "cl1 cl2 2 2 5");

        const std::string file = dir / (mdt + ".records");
        ASSERT_FALSE(LustreAPI::GetChangelogs(mdt, "", "4", end, file).Failed());
        std::string indexes;
        for (const std::string& line : ReadLines(file)) indexes += line.substr(0, line.find(' ')) + " ";
        EXPECT_EQ(indexes, "4 5 ");
        EXPECT_EQ(Read(mdt, "3"), "3 file with spaces/;4 file with spaces/;5 new name/file with spaces;");

        // cl1 stays when cl2 goes: a reader whose name begins with cl1's is not cl1.
        ASSERT_FALSE(LustreAPI::DeRegisterChangelog(host, mdt, "lustre", "root", other).Failed());
        EXPECT_EQ(ReaderIndex(host, mdt, other) + " " + ReaderIndex(host, mdt, reader), "none 2");
        // Acts on two records, acknowledges them, and "restarts": only the
        // reader's index on the server tells where to go on.
        ASSERT_FALSE(LustreAPI::ClearChangelog(mdt, reader, "4").Failed());
        EXPECT_EQ(ReaderIndex(host, mdt, reader), "4");
        EXPECT_EQ(Read(mdt, "1"), "5 new name/file with spaces;");  // 1 to 4 are purged: no reader needs them
        ASSERT_FALSE(LustreAPI::ClearChangelog(mdt, reader, "0").Failed());
        EXPECT_EQ(ReaderIndex(host, mdt, reader), "5");
        EXPECT_EQ(Read(mdt, "1"), "");

        ASSERT_FALSE(LustreAPI::DeRegisterChangelog(host, mdt, "lustre", "root", reader).Failed());
        const CKxError gone =
            LustreAPI::GetStartAndEndChangelogRecordNumbers(host, mdt, "lustre", "root", reader, start, end);
        EXPECT_EQ(gone.GetSystemError(), 774);
        EXPECT_EQ(gone.GetMessages(), std::vector<std::string>{"Cannot find the changelog reader cl1 in the MDT " +
                                                               mdt + " for Lustre FS lustre"});
        EXPECT_TRUE(LustreAPI::ClearChangelog(mdt, reader, "0").Failed());
    }
}

// The processes, other than this one, that run on this test's state
// directory once the killed ones have finished dying (a killed process may
// take a moment to go; one that was never killed stays, and after a minute
// it is what this returns).
std::vector<std::string> ProcessesOfState(const std::string& state)
{
    const std::string marker = "LUSTRE_SIM_STATE=" + state;
    std::vector<std::string> found;
    for (int look = 0; look < 1200; ++look) {
        found.clear();
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string pid = entry.path().filename();
            if (pid.find_first_not_of("0123456789") != std::string::npos || pid == std::to_string(getpid()))
                continue;
            std::ifstream in(entry.path() / "environ", std::ios::binary);
            const std::string environ((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (environ.find(marker + '\0') != std::string::npos) found.push_back(pid);
        }
        if (found.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return found;
}

// A server that never answers: every operation with a time limit returns
// once it has passed, names the command and the limit, and leaves no process
// of the command behind; the server answers again once released.
class HungServer : public StandInChain {};

TEST_P(HungServer, LimitedOperationsEndOnTime)
{
    using std::chrono::milliseconds;
    const milliseconds limit{400};
    Sim("changelog-append lustre-MDT0000 CREAT --name f && lustre-sim hang 192.168.0.1");
    const std::string host = "192.168.0.1", mdt = "lustre-MDT0000", file = dir / "dump";
    std::string s1 = "before", s2 = "before";
    unsigned long long current = 0;
    std::vector<LustreAPI::CChangelogUser> users;
    std::vector<LustreAPI::CChangelogRecord> records;
    std::vector<std::string> names, servers;
    std::list<std::string> lines;
    const std::vector<std::pair<std::string, std::function<CKxError()>>> operations = {
        {"lctl get_param 'mdc.lustre*.mds_conn_uuid'",
         [&] { return LustreAPI::GetMDTList("lustre", names, servers, limit); }},
        {"ssh -o BatchMode=yes -o ConnectTimeout=1 -o ServerAliveInterval=1 -o ServerAliveCountMax=2 root@192.168.0.1 "
         "'lctl --device lustre-MDT0000 changelog_register'",
         [&] { return LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", s1, limit); }},
        {"changelog_register -u watcher'",
         [&] { return LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", "watcher", "", s1, limit); }},
        {"changelog_deregister cl1",
         [&] { return LustreAPI::DeRegisterChangelog(host, mdt, "lustre", "root", s1 = "cl1", limit); }},
        {"lctl get_param mdd.lustre-MDT0000.changelog_users",
         [&] { return LustreAPI::GetChangelogCurrentIndex(host, mdt, "lustre", "root", s1, limit); }},
        {"lctl get_param mdd.lustre-MDT0000.changelog_users",
         [&] {
             return LustreAPI::GetStartAndEndChangelogRecordNumbers(host, mdt, "lustre", "root", "cl1", s1, s2, limit);
         }},
        {"lctl get_param mdd.lustre-MDT0000.changelog_users",
         [&] { return LustreAPI::GetChangelogUsers(host, mdt, "lustre", "root", current, users, limit); }},
        {"lfs changelog lustre-MDT0000 1 9", [&] { return LustreAPI::ReadChangelogs(mdt, "1", "9", records, limit); }},
        {"lfs changelog lustre-MDT0000 1 9 > " + file,
         [&] { return LustreAPI::GetChangelogs(mdt, "", "1", "9", file, limit); }},
        {"lfs changelog_clear lustre-MDT0000 cl1 0",
         [&] { return LustreAPI::ClearChangelog(mdt, "cl1", "0", limit); }},
        {"ssh root@192.168.0.1 'lctl get_param version'",
         [&] { return LustreAPI::RunCommand("ssh root@192.168.0.1 'lctl get_param version'", lines, limit); }},
    };
    for (const auto& [command, operation] : operations) {
        SCOPED_TRACE(command);
        // The server never answers: only the limit ends the call.
        const auto started = std::chrono::steady_clock::now();
        const CKxError error = operation();
        EXPECT_GE(std::chrono::steady_clock::now() - started, limit);
        ASSERT_EQ(error.GetSystemError(), 774);
        EXPECT_THAT(error.GetMessages().at(0), ::testing::HasSubstr(command));
        EXPECT_THAT(error.GetMessages().at(0), ::testing::HasSubstr("within its time limit of 400 ms"));
        EXPECT_EQ(LustreAPI::GetErrorKind(error), LustreAPI::ErrorKind::TimeLimit);
        EXPECT_THAT(ProcessesOfState(dir / "state"), ::testing::IsEmpty());
    }
    EXPECT_EQ(s1 + s2 + std::to_string(names.size() + users.size() + records.size() + lines.size()), "cl1before0");

    Sim("unhang 192.168.0.1");
    EXPECT_FALSE(LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", s1, limit * 10).Failed());
    EXPECT_EQ(s1, "cl1");
}

// The MDT pattern reaches lctl as written, whatever the working directory holds.
TEST_P(HungServer, MdtPatternIgnoresTheWorkingDirectory)
{
    WriteFile(dir / "mdc.lustre-OST0000.mds_conn_uuid", "decoy");
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    std::vector<std::string> names, servers;
    const CKxError error = LustreAPI::GetMDTList("lustre", names, servers);
    std::filesystem::current_path(cwd);
    ASSERT_FALSE(error.Failed()) << error.ToString();
    EXPECT_THAT(names, ElementsAre("lustre-MDT0000", "lustre-MDT0001"));
}

INSTANTIATE_TEST_SUITE_P(Version215, HungServer, ::testing::Values("2.15"));

// Readers with names and masks, as lctl and the MDT of each version take
// them: 2.15 and later register them and list their names and masks
// (lustre-tools sections 1, 2 and 13); 2.12 has neither, and the library
// refuses before anything is registered.
class NamedReaders : public StandInChain {
protected:
    bool Named() const { return std::string(GetParam()) != "2.12"; }
    std::string Users()
    {
        unsigned long long current = 0;
        std::vector<LustreAPI::CChangelogUser> users;
        EXPECT_FALSE(LustreAPI::GetChangelogUsers(host, mdt, "lustre", "root", current, users).Failed());
        std::string text;
        for (const auto& u : users) text += u.m_id + " name=" + u.m_name + " mask=" + u.m_mask + ";";
        return text;
    }
    const std::string host = "192.168.0.1", mdt = "lustre-MDT0000";
};

TEST_P(NamedReaders, RegisterWithNameAndMask)
{
    const std::string defaultMask = "MARK,CREAT,MKDIR,HLINK,SLINK,MKNOD,UNLNK,RMDIR,RENME,RNMTO,CLOSE,LYOUT,TRUNC,"
                                    "SATTR,XATTR,HSM,MTIME,CTIME,MIGRT,FLRW,RESYNC";
    std::string id = "before";
    const CKxError named = LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", "watcher", "creat", id);
    if (!Named()) {
        EXPECT_EQ(LustreAPI::GetErrorKind(named), LustreAPI::ErrorKind::Refused);
        EXPECT_EQ(named.GetMessages(),
                  std::vector<std::string>{"The changelog reader name \"watcher\" and mask \"creat\" for MDT "
                                           "lustre-MDT0000 are refused: Lustre 2.12 on host 192.168.0.1 registers "
                                           "changelog readers without names or masks (they came with 2.15)"});
        EXPECT_EQ(id, "before");
        // Nothing registered, no number used: a plain reader is still cl1.
        EXPECT_EQ(Users(), "");
        ASSERT_FALSE(LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", "", "", id).Failed());
        EXPECT_EQ(id, "cl1");
        return;
    }
    ASSERT_FALSE(named.Failed()) << named.ToString();
    EXPECT_EQ(id, "cl1-watcher");
    ASSERT_FALSE(LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", "", "unlnk+close+open", id).Failed());
    EXPECT_EQ(id, "cl2");
    ASSERT_FALSE(LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", "indexer", "", id).Failed());
    EXPECT_EQ(id, "cl3-indexer");
    // A name taken already: the MDT refuses, and the number is used up.
    const CKxError taken = LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", "watcher", "", id);
    EXPECT_EQ(LustreAPI::GetErrorKind(taken), LustreAPI::ErrorKind::Failed);
    EXPECT_THAT(taken.GetMessages().at(0), ::testing::HasSubstr("error: changelog_register: User exists"));
    ASSERT_FALSE(LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", id).Failed());
    EXPECT_EQ(id, "cl5");
    EXPECT_EQ(Users(), "cl1-watcher name=watcher mask=MARK,CREAT;cl2 name= mask=MARK,UNLNK,OPEN,CLOSE;"
                       "cl3-indexer name=indexer mask=" + defaultMask + ";cl5 name= mask=;");
    // The listing as lctl prints it: "%-24s %10llu (%u)" and " mask=...".
    Sim("set-time 1700000000 && lctl --device lustre-MDT0000 changelog_register -n -u late -m -all > " +
        dir / "reply" + " && lustre-sim set-time 1700000007");
    EXPECT_EQ(ReadLines(dir / "reply"), std::vector<std::string>{"cl6-late"});
    const testsupport::Outcome listing = testsupport::Shell("lctl get_param mdd.lustre-MDT0000.changelog_users");
    EXPECT_THAT(listing.out, ::testing::HasSubstr("\n" + HBString::Format("%-24s %10llu (%u)", "cl6-late", 0ULL, 7u) +
                                                  " mask=MARK\n"));
    // lctl prints the dash of an empty name; the MDT keeps a plain reader.
    const testsupport::Outcome empty = testsupport::Shell("lctl --device lustre-MDT0000 changelog_register -u ''");
    EXPECT_EQ(empty.out, "lustre-MDT0000: Registered changelog userid 'cl7-'\n");
    EXPECT_THAT(Users(), ::testing::EndsWith("cl7 name= mask=;"));

    ASSERT_FALSE(LustreAPI::DeRegisterChangelog(host, mdt, "lustre", "root", id = "cl1-watcher").Failed());
    EXPECT_THAT(Users(), ::testing::StartsWith("cl2 name= mask=MARK,UNLNK,OPEN,CLOSE;"));
}

// A consumer that read records past its last acknowledgement and crashed
// goes on at the first record it had not acknowledged.
TEST_P(NamedReaders, ResumeAfterACrash)
{
    std::string id;
    ASSERT_FALSE(LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", id).Failed());
    Sim("changelog-append " + mdt + " CREAT --name f --count 5");
    {
        LustreAPI::CChangelogReader reader;
        ASSERT_FALSE(reader.OpenAtReader(host, mdt, "lustre", "root", id, false).Failed());
        for (unsigned long long expected = 1; expected <= 3; ++expected) {
            LustreAPI::CChangelogRecord record;
            bool got = false;
            ASSERT_FALSE(reader.Next(record, std::chrono::milliseconds(0), got).Failed());
            ASSERT_TRUE(got);
            EXPECT_EQ(record.m_index, expected);
        }
        ASSERT_FALSE(LustreAPI::ClearChangelog(mdt, id, "2").Failed());
        // The crash: record 3 was read, never acknowledged.
    }
    LustreAPI::CChangelogReader reader;
    ASSERT_FALSE(reader.OpenAtReader(host, mdt, "lustre", "root", id, false, std::chrono::milliseconds(0)).Failed());
    LustreAPI::CChangelogRecord record;
    bool got = false;
    ASSERT_FALSE(reader.Next(record, std::chrono::milliseconds(0), got).Failed());
    ASSERT_TRUE(got);
    EXPECT_EQ(record.m_index, 3u);

    // A reader the MDT does not list (cl1 is not cl10) opens nothing.
    const CKxError missing = reader.OpenAtReader(host, mdt, "lustre", "root", "cl10", false);
    EXPECT_EQ(missing.GetMessages(), std::vector<std::string>{"Cannot find the changelog reader cl10 in the MDT "
                                                              "lustre-MDT0000 for Lustre FS lustre"});
    EXPECT_EQ(reader.Descriptor(), -1);
}

INSTANTIATE_TEST_SUITE_P(Versions, NamedReaders, ::testing::Values("2.12", "2.15", "2.17"),
                         [](const auto& info) { return "Lustre" + std::string(info.param).replace(1, 1, ""); });

INSTANTIATE_TEST_SUITE_P(Versions, StandInChain,
                         ::testing::Values("2.5", "2.10", "2.12", "2.15", "2.16", "2.17", "2.18"),
                         [](const auto& info) { return "Lustre" + std::string(info.param).replace(1, 1, ""); });

}  // namespace
