// The changelog chain over real OpenSSH: an sshd of the test's own on a
// loopback port, reached through the real ssh client. The library's command
// lines carry no ssh options, so a wrapper named ssh first on PATH adds the
// test's client configuration (data/ssh_config); on the server side
// (data/sshd_config) a forced command (data/remote) runs the requested line
// with the stand-in lctl first on PATH.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LustreAPI.h"
#include "TestSupport.h"

using namespace testsupport;
using ::testing::ElementsAre;

namespace {

const std::string kSimBin = SIM_BIN_DIR;

// A loopback port that nothing listens on right now.
int FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

void RunShell(const std::string& command)
{
    const testsupport::Outcome outcome = testsupport::Shell(command);
    EXPECT_EQ(outcome.status, 0) << command << ": " << outcome.err;
}

class OpenSsh : public ::testing::Test {
protected:
    // A file of data/ written to the temporary directory, its placeholders filled in.
    void Install(const std::string& name, const std::string& to)
    {
        std::string text = ReadFile(CHANGELOG_DATA_DIR "/" + name);
        for (const auto& [key, value] : {std::pair<std::string, std::string>{"@DIR@", dir.path()},
                                         {"@PORT@", std::to_string(port)},
                                         {"@SIMBIN@", kSimBin}})
            for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
        WriteFile(to, text);
        ::chmod(to.c_str(), 0755);
    }

    void SetUp() override
    {
        if (::geteuid() != 0) GTEST_SKIP() << "sshd with privilege separation needs root";
        for (const char* tool : {"/usr/sbin/sshd", "/usr/bin/ssh", "/usr/bin/ssh-keygen"})
            if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed (openssh-server/-client)";
        if (!Exists(kSimBin + "/lctl")) GTEST_SKIP() << "the stand-in tools were not built in " << kSimBin;
        madeRunDir = ::mkdir("/run/sshd", 0755) == 0;  // sshd's privilege separation directory
        if (!madeRunDir && errno != EEXIST) GTEST_SKIP() << "cannot create /run/sshd";
        const std::string d = dir.path();
        port = FreeLoopbackPort();
        ASSERT_GT(port, 0);
        RunShell("mkdir " + d + "/bin " + d + "/keys && ssh-keygen -q -t ed25519 -N '' -f " + d +
                 "/hostkey && ssh-keygen -q -t ed25519 -N '' -f " + d + "/userkey");
        Install("remote", d + "/remote");
        Install("sshd_config", d + "/sshd_config");
        Install("ssh_config", d + "/ssh_config");
        // Only root holds a key.
        WriteFile(d + "/keys/root", "command=\"" + d + "/remote\",no-pty,no-port-forwarding,no-agent-forwarding " +
                                        ReadFile(d + "/userkey.pub"));
        WriteFile(d + "/bin/ssh", "#!/bin/sh\nexec /usr/bin/ssh -F '" + d + "/ssh_config' \"$@\"\n");
        ::chmod((d + "/bin/ssh").c_str(), 0755);

        // The client side: the wrapper ssh first, then the stand-in tools.
        path.emplace("PATH", d + "/bin:" + kSimBin + ":/usr/bin:/bin");
        state.emplace("LUSTRE_SIM_STATE", d + "/state");
        RunShell("lustre-sim init " + d +
                 "/state --version 2.15 && lustre-sim add-fs lustre && lustre-sim mount lustre " + d +
                 "/mnt && lustre-sim add-mds lustre 0 127.0.0.1 127.0.0.1@tcp");
        // sshd goes into the background and writes its pid file once it
        // listens; the pid file also stops it.
        const testsupport::Outcome started = testsupport::Shell("/usr/sbin/sshd -f " + d + "/sshd_config -E " + d +
                                                                "/sshd.log && for i in $(seq 1200); do " + "[ -s " + d +
                                                                "/sshd.pid ] && exit 0; sleep 0.05; done; exit 1");
        ASSERT_EQ(started.status, 0) << "sshd did not start:\n" << started.err << ReadFile(d + "/sshd.log");
    }
    void TearDown() override
    {
        if (Exists(dir / "sshd.pid")) testsupport::Shell("kill $(cat " + dir / "sshd.pid" + ")");
        if (madeRunDir) ::rmdir("/run/sshd");  // nothing of the test is left behind
    }
    TempDir dir;
    bool madeRunDir = false;
    int port = -1;
    std::optional<ScopedEnv> path;
    std::optional<ScopedEnv> state;
    CapturingLogWriter log;
};

TEST_F(OpenSsh, ChainOverLoopback)
{
    std::vector<std::string> names, servers;
    ASSERT_FALSE(LustreAPI::GetMDTList("lustre", names, servers).Failed());
    ASSERT_THAT(servers, ElementsAre("127.0.0.1"));
    const std::string &mdt = names.at(0), &host = servers[0];

    std::string reader, other, current, start, end;
    const CKxError registered = LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", reader);
    ASSERT_FALSE(registered.Failed()) << registered.ToString() << ReadFile(dir / "sshd.log");
    ASSERT_FALSE(LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", other).Failed());
    ASSERT_FALSE(LustreAPI::GetChangelogCurrentIndex(host, mdt, "lustre", "root", current).Failed());
    RunShell("lustre-sim changelog-append " + mdt + " CREAT --name file --count 3");
    ASSERT_FALSE(
        LustreAPI::GetStartAndEndChangelogRecordNumbers(host, mdt, "lustre", "root", reader, start, end).Failed());
    EXPECT_EQ(reader + " " + other + " " + current + " " + start + " " + end, "cl1 cl2 0 0 3");

    // (Dumping and clearing run lfs on the client: StandInChainTest.)
    unsigned long long index = 0;
    std::vector<LustreAPI::CChangelogUser> users;
    ASSERT_FALSE(LustreAPI::GetChangelogUsers(host, mdt, "lustre", "root", index, users).Failed());
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(std::to_string(index) + " " + users[0].m_id + " " + std::to_string(users[0].m_index) + " " +
                  users[1].m_id + " " + std::to_string(users[1].m_index),
              "3 cl1 0 cl2 0");

    ASSERT_FALSE(LustreAPI::DeRegisterChangelog(host, mdt, "lustre", "root", reader).Failed());
    EXPECT_THAT(ReadLines(dir / "remote-argv.log"),
                ElementsAre(R"(["lctl","--device","lustre-MDT0000","changelog_register"])",
                            R"(["lctl","--device","lustre-MDT0000","changelog_register"])",
                            R"(["lctl","get_param","mdd.lustre-MDT0000.changelog_users"])",
                            R"(["lctl","get_param","mdd.lustre-MDT0000.changelog_users"])",
                            R"(["lctl","get_param","mdd.lustre-MDT0000.changelog_users"])",
                            R"(["lctl","--device","lustre-MDT0000","changelog_deregister","cl1"])"));

    // A refused login: ssh's own message, its line end included, after both log lines.
    log.lines.clear();
    current = "unchanged";
    const std::string failed =
        "Command ssh nobody@127.0.0.1 'lctl get_param mdd.lustre-MDT0000.changelog_users' "
        "failed with Error nobody@127.0.0.1: Permission denied (publickey).\r\n";
    const CKxError refused = LustreAPI::GetChangelogCurrentIndex(host, mdt, "lustre", "nobody", current);
    EXPECT_EQ(refused.GetSystemError(), 774);
    EXPECT_EQ(refused.GetMessages(), std::vector<std::string>{failed});
    EXPECT_THAT(log.Texts(),
                ElementsAre(failed,
                            "Cannot get the current index of the changelogs in the MDT lustre-MDT0000 for Lustre FS "
                            "lustre",
                            "Check whether keyless ssh is enabled for the user nobody on the host 127.0.0.1"));
    EXPECT_EQ(current, "unchanged");
    EXPECT_EQ(ReadLines(dir / "remote-argv.log").size(), 6u);
}

}  // namespace
