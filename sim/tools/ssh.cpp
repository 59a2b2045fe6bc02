// Stand-in for the OpenSSH client: "ssh [options] [USER@]HOST COMMAND...".
// The command runs locally under /bin/sh -c "on" HOST: LUSTRE_SIM_HOST names
// the host and the stand-in tools come first on PATH. Logins follow the
// config's "login USER HOST" lines; nothing is ever asked for.
#include <getopt.h>
#include <pwd.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ArgvLog.h"
#include "SimConfig.h"

namespace {

constexpr int kSshFailure = 255;

int Refuse(const std::string& message)
{
    fprintf(stderr, "ssh (stand-in): %s\n", message.c_str());
    return kSshFailure;
}

std::string CurrentUser()
{
    if (const passwd* pw = getpwuid(geteuid())) return pw->pw_name;
    const char* user = getenv("USER");
    return user ? user : "";
}

std::string ExecutableDir()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string path(buf, static_cast<size_t>(n));
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// -o settings that only tune authentication, host keys, timeouts or logging;
// none of them runs anything. Everything else (ProxyCommand, LocalCommand,
// ProxyJump, KnownHostsCommand, Match, ...) is refused.
bool HarmlessSetting(const std::string& key)
{
    static const char* const kKeys[] = {"AddressFamily",
                                        "BatchMode",
                                        "CheckHostIP",
                                        "Compression",
                                        "ConnectionAttempts",
                                        "ConnectTimeout",
                                        "ForwardAgent",
                                        "ForwardX11",
                                        "GlobalKnownHostsFile",
                                        "HashKnownHosts",
                                        "IdentitiesOnly",
                                        "IdentityFile",
                                        "KbdInteractiveAuthentication",
                                        "LogLevel",
                                        "NumberOfPasswordPrompts",
                                        "PasswordAuthentication",
                                        "Port",
                                        "PreferredAuthentications",
                                        "PubkeyAuthentication",
                                        "RequestTTY",
                                        "ServerAliveCountMax",
                                        "ServerAliveInterval",
                                        "StrictHostKeyChecking",
                                        "TCPKeepAlive",
                                        "User",
                                        "UserKnownHostsFile"};
    for (const char* k : kKeys)
        if (strcasecmp(key.c_str(), k) == 0) return true;
    return false;
}

struct Options {
    std::string user;         // from -l or -o User=
    bool terminated = false;  // "--" ended the options
};

// Parses one "-o" value ("Key=Value" or "Key Value"). False when refused.
bool ApplySetting(const std::string& setting, Options& options)
{
    size_t split = setting.find_first_of("= \t");
    const std::string key = setting.substr(0, split);
    std::string value = split == std::string::npos ? "" : setting.substr(split + 1);
    while (!value.empty() && (value[0] == ' ' || value[0] == '\t' || value[0] == '=')) value.erase(0, 1);
    if (key.empty() || !HarmlessSetting(key)) return false;
    if (strcasecmp(key.c_str(), "User") == 0) options.user = value;
    return true;
}

// Reads the options in argv[index...] with getopt as OpenSSH does (no
// permutation: the first operand ends them) and moves index past them.
// Returns -1 when all is well, otherwise the exit status to return.
int ParseOptions(int argc, char* argv[], int& index, Options& options)
{
    // Every option OpenSSH's ssh knows, so that each takes its value as there.
    static const char kAll[] = "+:1246ab:c:e:fgi:kl:m:no:p:qstvxAB:CD:E:F:GI:J:KL:MNO:P:Q:R:S:TVw:W:XYy";
    static const char kHarmless[] = "46aACknqTtvxip";
    char** const args = argv + index - 1;  // getopt starts after args[0]
    const int count = argc - index + 1;
    optind = 0;
    opterr = 0;
    for (int c; (c = getopt(count, args, kAll)) != -1;) {
        if (c == ':') {
            fprintf(stderr, "option requires an argument -- %c\n", optopt);
            return kSshFailure;
        }
        if (c == 'l') {
            options.user = optarg;
        } else if (c == 'o') {
            if (!ApplySetting(optarg, options)) return Refuse(std::string("option not supported: -o") + optarg);
        } else if (c == '?' || !strchr(kHarmless, c)) {
            return Refuse("option not supported: -" + std::string(1, static_cast<char>(c == '?' ? optopt : c)));
        }
    }
    index += optind - 1;
    options.terminated = index > 1 && strcmp(argv[index - 1], "--") == 0;
    return -1;
}

int RunRemote(const std::string& host, const std::string& command)
{
    std::string path = ExecutableDir();
    if (const char* old = getenv("PATH"); old && *old) path += std::string(":") + old;
    if (setenv("PATH", path.c_str(), 1) != 0 || setenv("LUSTRE_SIM_HOST", host.c_str(), 1) != 0)
        return Refuse(std::string("cannot set the environment: ") + strerror(errno));
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return Refuse(std::string("cannot fork: ") + strerror(errno));
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        fprintf(stderr, "ssh (stand-in): cannot run /bin/sh: %s\n", strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return Refuse(std::string("cannot wait for the command: ") + strerror(errno));
    }
    // Like OpenSSH: the remote exit status, or 255 when the command died of a signal.
    return WIFEXITED(status) ? WEXITSTATUS(status) : kSshFailure;
}

}  // namespace

int main(int argc, char* argv[])
{
    sim::LogArgv("ssh", argc, argv);

    Options options;
    int index = 1;
    if (int rc = ParseOptions(argc, argv, index, options); rc >= 0) return rc;
    if (index >= argc) {
        fprintf(stderr, "usage: ssh [options] [user@]hostname command\n");
        return kSshFailure;
    }
    std::string destination = argv[index++];
    // OpenSSH reads further options after the destination, unless "--"
    // ended them.
    if (!options.terminated)
        if (int rc = ParseOptions(argc, argv, index, options); rc >= 0) return rc;

    std::string user = options.user;
    std::string host = destination;
    if (const size_t at = destination.rfind('@'); at != std::string::npos) {
        user = destination.substr(0, at);
        host = destination.substr(at + 1);
    }
    if (user.empty()) user = CurrentUser();

    std::string command;
    for (int i = index; i < argc; ++i) {
        if (i > index) command += ' ';
        command += argv[i];
    }

    sim::Config config;
    std::string error;
    if (!sim::LoadConfig(sim::StateDir(), config, error)) return Refuse(error);
    if (host.empty() || !config.HostKnown(host)) {
        fprintf(stderr, "ssh: Could not resolve hostname %s: Name or service not known\n", host.c_str());
        return kSshFailure;
    }
    if (!config.LoginAllowed(user, host)) {
        fprintf(stderr, "%s@%s: Permission denied (publickey).\n", user.c_str(), host.c_str());
        return kSshFailure;
    }
    if (command.empty()) return Refuse("no remote command given; interactive sessions are not supported");
    return RunRemote(host, command);
}
