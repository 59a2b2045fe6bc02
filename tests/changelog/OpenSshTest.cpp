// The changelog chain over real OpenSSH: an sshd of the test's own on a
// loopback port, reached through the real ssh client. The library's command
// lines carry no ssh options, so a wrapper named ssh first on PATH adds the
// test's client configuration; on the server side a forced command runs the
// requested line with the stand-in lctl first on PATH.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChangelogTestSupport.h"
#include "LustreAPI.h"

using namespace changelog_test;
using ::testing::ElementsAre;

namespace {

const std::string kSimBin = SIM_BIN_DIR;
const char kSshd[] = "/usr/sbin/sshd";
const char kSsh[] = "/usr/bin/ssh";
const char kSshKeygen[] = "/usr/bin/ssh-keygen";

// A loopback port that nothing listens on right now.
int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
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

void RunShell(const std::string& command) {
    const testsupport::Outcome outcome = testsupport::Shell(command);
    EXPECT_EQ(outcome.status, 0) << command << ": " << outcome.err;
}

class OpenSsh : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "sshd with privilege separation needs root";
        for (const char* tool : {kSshd, kSsh, kSshKeygen})
            if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed (openssh-server/-client)";
        if (!Exists(kSimBin + "/lctl")) GTEST_SKIP() << "the stand-in tools were not built in " << kSimBin;
        if (::mkdir("/run/sshd", 0755) != 0 && errno != EEXIST) GTEST_SKIP() << "cannot create /run/sshd";

        const std::string d = dir.path();
        ::mkdir((d + "/bin").c_str(), 0755);
        ::mkdir((d + "/keys").c_str(), 0755);
        RunShell(std::string(kSshKeygen) + " -q -t ed25519 -N '' -f " + d + "/hostkey");
        RunShell(std::string(kSshKeygen) + " -q -t ed25519 -N '' -f " + d + "/userkey");

        // Only root holds a key; the forced command runs the requested line on
        // the "server" with the stand-in tools and state.
        testsupport::WriteExecutable(d + "/remote", "#!/bin/sh\n"
                                       "PATH='" + kSimBin + "':/usr/bin:/bin\n"
                                       "LUSTRE_SIM_STATE='" + d + "/state'\n"
                                       "LUSTRE_SIM_ARGV_LOG='" + d + "/remote-argv.log'\n"
                                       "export PATH LUSTRE_SIM_STATE LUSTRE_SIM_ARGV_LOG\n"
                                       "exec /bin/sh -c \"$SSH_ORIGINAL_COMMAND\"\n");
        WriteFile(d + "/keys/root", "command=\"" + d + "/remote\",no-pty,no-port-forwarding,no-agent-forwarding " +
                                        ReadFile(d + "/userkey.pub"));

        port = FreeLoopbackPort();
        ASSERT_GT(port, 0);
        WriteFile(d + "/sshd_config", "Port " + std::to_string(port) +
                                          "\n"
                                          "ListenAddress 127.0.0.1\n"
                                          "HostKey " + d + "/hostkey\n"
                                          "PidFile " + d + "/sshd.pid\n"
                                          "AuthorizedKeysFile " + d + "/keys/%u\n"
                                          "PermitRootLogin prohibit-password\n"
                                          "PubkeyAuthentication yes\n"
                                          "PasswordAuthentication no\n"
                                          "KbdInteractiveAuthentication no\n"
                                          "UsePAM no\n"
                                          "StrictModes no\n"
                                          "LogLevel ERROR\n");
        WriteFile(d + "/ssh_config", "Host *\n"
                                     "  Port " + std::to_string(port) +
                                         "\n"
                                         "  IdentityFile " + d + "/userkey\n"
                                         "  IdentitiesOnly yes\n"
                                         "  UserKnownHostsFile " + d + "/known_hosts\n"
                                         "  GlobalKnownHostsFile /dev/null\n"
                                         "  StrictHostKeyChecking no\n"
                                         "  BatchMode yes\n"
                                         "  LogLevel ERROR\n");
        testsupport::WriteExecutable(d + "/bin/ssh", "#!/bin/sh\nexec " + std::string(kSsh) + " -F '" + d + "/ssh_config' \"$@\"\n");

        // The client side: the wrapper ssh first, then the stand-in lfs.
        path.emplace("PATH", d + "/bin:" + kSimBin + ":/usr/bin:/bin");
        state.emplace("LUSTRE_SIM_STATE", d + "/state");
        RunShell("lustre-sim init " + d + "/state --version 2.15");
        RunShell("lustre-sim add-fs lustre --mdts 1");
        RunShell("lustre-sim mount lustre " + d + "/mnt");
        RunShell("lustre-sim add-mds lustre 0 127.0.0.1 127.0.0.1@tcp");

        // sshd goes into the background and writes its pid file once it
        // listens; the pid file also stops it.
        const testsupport::Outcome started = testsupport::Shell(
            std::string(kSshd) + " -f " + d + "/sshd_config -E " + d + "/sshd.log && for i in $(seq 200); do " +
            "[ -s " + d + "/sshd.pid ] && exit 0; sleep 0.05; done; exit 1");
        ASSERT_EQ(started.status, 0) << "sshd did not start:\n" << started.err << ReadFile(d + "/sshd.log");
    }
    void TearDown() override {
        if (Exists(dir / "sshd.pid")) testsupport::Shell("kill $(cat " + dir / "sshd.pid" + ")");
    }
    TempDir dir;
    int port = -1;
    std::optional<ScopedEnv> path;
    std::optional<ScopedEnv> state;
    RecordingLogWriter log;
};

TEST_F(OpenSsh, ChainOverLoopback) {
    std::vector<std::string> names;
    std::vector<std::string> servers;
    ASSERT_FALSE(LustreAPI::GetMDTList("lustre", names, servers).Failed());
    ASSERT_THAT(names, ElementsAre("lustre-MDT0000"));
    ASSERT_THAT(servers, ElementsAre("127.0.0.1"));
    const std::string& mdt = names[0];
    const std::string& host = servers[0];

    std::string reader;
    const CKxError registered = LustreAPI::RegisterChangelog(host, mdt, "lustre", "root", reader);
    ASSERT_FALSE(registered.Failed()) << registered.ToString() << ReadFile(dir / "sshd.log");
    EXPECT_EQ(reader, "cl1");

    std::string current;
    ASSERT_FALSE(LustreAPI::GetChangelogCurrentIndex(host, mdt, "lustre", "root", current).Failed());
    EXPECT_EQ(current, "0");

    RunShell("lustre-sim changelog-append " + mdt + " CREAT --name file --count 3");
    std::string start;
    std::string end;
    ASSERT_FALSE(
        LustreAPI::GetStartAndEndChangelogRecordNumbers(host, mdt, "lustre", "root", reader, start, end).Failed());
    EXPECT_EQ(start, "0");
    EXPECT_EQ(end, "3");

    const std::string file = dir / "records";
    ASSERT_FALSE(LustreAPI::GetChangelogs(mdt, "", "1", end, file).Failed());
    std::vector<std::string> indexes;
    for (const std::string& line : ReadLines(file)) indexes.push_back(line.substr(0, line.find(' ')));
    EXPECT_THAT(indexes, ElementsAre("1", "2", "3"));

    ASSERT_FALSE(LustreAPI::DeRegisterChangelog(host, mdt, "lustre", "root", reader).Failed());
    EXPECT_THAT(ReadLines(dir / "remote-argv.log"),
                ElementsAre(R"(["lctl","--device","lustre-MDT0000","changelog_register"])",
                            R"(["lctl","get_param","mdd.lustre-MDT0000.changelog_users"])",
                            R"(["lctl","get_param","mdd.lustre-MDT0000.changelog_users"])",
                            R"(["lctl","--device","lustre-MDT0000","changelog_deregister","cl1"])"));
    EXPECT_THAT(log.lines.size(), 3u);  // the current index, the end and the start
}

TEST_F(OpenSsh, ChangelogUsersWithNumbersOverLoopback) {
    std::string first;
    std::string second;
    ASSERT_FALSE(LustreAPI::RegisterChangelog("127.0.0.1", "lustre-MDT0000", "lustre", "root", first).Failed());
    ASSERT_FALSE(LustreAPI::RegisterChangelog("127.0.0.1", "lustre-MDT0000", "lustre", "root", second).Failed());
    RunShell("lustre-sim changelog-append lustre-MDT0000 CREAT --count 3 && lustre-sim set-time 1700000000");
    ASSERT_FALSE(LustreAPI::ClearChangelog("lustre-MDT0000", second, "2").Failed());

    unsigned long long current = 0;
    std::vector<LustreAPI::CChangelogUser> users;
    const CKxError error = LustreAPI::GetChangelogUsers("127.0.0.1", "lustre-MDT0000", "lustre", "root", current, users);
    ASSERT_FALSE(error.Failed()) << error.ToString();
    EXPECT_EQ(current, 3u);
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].m_id + " " + std::to_string(users[0].m_index), "cl1 0");
    EXPECT_EQ(users[1].m_id + " " + std::to_string(users[1].m_index) + " " + std::to_string(users[1].m_idleSeconds),
              "cl2 2 0");
}

TEST_F(OpenSsh, RefusedLoginComesBackWithBothLogLines) {
    std::string current = "unchanged";
    const CKxError error =
        LustreAPI::GetChangelogCurrentIndex("127.0.0.1", "lustre-MDT0000", "lustre", "nobody", current);
    const std::string failed = "Command ssh nobody@127.0.0.1 'lctl get_param mdd.lustre-MDT0000.changelog_users' "
                               "failed with Error nobody@127.0.0.1: Permission denied (publickey).\r\n";
    EXPECT_TRUE(IsError774(error, failed, kRunCommandFunction));
    EXPECT_THAT(log.Texts(),
                ElementsAre(failed,
                            "Cannot get the current index of the changelogs in the MDT lustre-MDT0000 for Lustre FS "
                            "lustre",
                            "Check whether keyless ssh is enabled for the user nobody on the host 127.0.0.1"));
    EXPECT_EQ(current, "unchanged");
    EXPECT_FALSE(Exists(dir / "remote-argv.log"));
}

}  // namespace
