#include "ToolHarness.h"

#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

extern char** environ;

namespace simtest {
namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

}  // namespace

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

SimState::SimState(const std::string& version)
{
    char templ[] = "/tmp/lustre-sim-test.XXXXXX";
    if (mkdtemp(templ)) m_dir = templ;
    m_state = m_dir + "/state";
    Outcome init = Sh("lustre-sim init \"$LUSTRE_SIM_STATE\" --version " + version);
    EXPECT_EQ(init.status, 0) << init.err;
}

SimState::~SimState()
{
    if (!m_dir.empty()) nftw(m_dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

Outcome SimState::Sh(const std::string& command, const std::map<std::string, std::string>& env) const
{
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const size_t eq = entry.find('=');
        if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    vars.erase("LUSTRE_SIM_HOST");
    vars.erase("LUSTRE_SIM_ARGV_LOG");
    vars["PATH"] = std::string(LUSTRESIM_BIN_DIR) + ":" + (vars.count("PATH") ? vars["PATH"] : "/usr/bin:/bin");
    vars["LUSTRE_SIM_STATE"] = m_state;
    for (const auto& [k, v] : env) vars[k] = v;
    std::vector<std::string> entries;
    for (const auto& [k, v] : vars) entries.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const std::string outFile = m_dir + "/stdout", errFile = m_dir + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, m_dir.c_str());  // relative paths land in the temp dir
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string cmd = command;
    char sh[] = "/bin/sh", dashC[] = "-c";
    char* argv[] = {sh, dashC, cmd.data(), nullptr};
    pid_t pid = -1;
    Outcome result;
    const int rc = posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "cannot spawn /bin/sh: " << rc;
        return result;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) break;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadFile(outFile);
    result.err = ReadFile(errFile);
    return result;
}

std::string SimState::Sim(const std::string& args) const
{
    Outcome o = Sh("lustre-sim " + args);
    EXPECT_EQ(o.status, 0) << "lustre-sim " << args << ": " << o.err;
    return o.out;
}

void SetUpCluster(const SimState& sim)
{
    sim.Sim("add-fs lustre --mdts 2");
    sim.Sim("add-fs lustre2");
    sim.Sim("mount lustre /mnt/lustre");
    sim.Sim("mount lustre2 /mnt/lustre2");
    sim.Sim("add-mds lustre 0 mds1 192.168.0.1@tcp");
    sim.Sim("add-mds lustre 1 mds2 192.168.0.2@tcp");
    sim.Sim("allow-login root mds1");
    sim.Sim("allow-login root mds2");
    sim.Sim("set-time " + std::to_string(kStartTime));
}

}  // namespace simtest
