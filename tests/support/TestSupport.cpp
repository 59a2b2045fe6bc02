#include "TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool Exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string ActAsRoot()
{
    if (geteuid() == 0) return "";
    const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    if (unshare(CLONE_NEWUSER) != 0)
        return std::string("only root may do this, and no user namespace can be made: ") + strerror(errno);
    try {
        WriteFile("/proc/self/setgroups", "deny");
        WriteFile("/proc/self/uid_map", "0 " + uid + " 1");
        WriteFile("/proc/self/gid_map", "0 " + gid + " 1");
    } catch (const std::exception& e) {
        return std::string("only root may do this, and the user namespace's root cannot be mapped: ") + e.what();
    }
    return "";
}

std::string TempBase()
{
    const char* base = std::getenv("TMPDIR");
    return base && *base ? base : "/tmp";
}

TempDir::TempDir()
{
    std::string pattern = TempBase() + "/lapi-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    // Resolved, so that paths compare equal to what the code under test resolves.
    m_path = std::filesystem::canonical(pattern).string();
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name)
{
    const char* old = std::getenv(name);
    m_had = old != nullptr;
    if (old) m_old = old;
    ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv()
{
    if (m_had)
        ::setenv(m_name.c_str(), m_old.c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

StandInState::StandInState(int mdts, int archives)
{
    std::filesystem::create_directories(mount);
    std::filesystem::create_directories(outside);
    std::string config = "fs lustre mdts=" + std::to_string(mdts) + "\nmount lustre " + mount + " ffff8803f0d41000\n";
    for (int id = 1; id <= archives; ++id) {
        std::filesystem::create_directories(Archive(id));
        config += "archive lustre " + std::to_string(id) + " " + Archive(id) + "\n";
    }
    testsupport::WriteFile(dir / "config", config);
}

std::string StandInState::WriteFile(const std::string& relative, const std::string& contents) const
{
    const std::filesystem::path path = std::filesystem::path(mount) / relative;
    std::filesystem::create_directories(path.parent_path());
    testsupport::WriteFile(path.string(), contents);
    return path.string();
}

CapturingLogWriter::CapturingLogWriter(int level) : m_level(level), m_previous(g_ptrLogWriter)
{
    g_ptrLogWriter = this;
}

CapturingLogWriter::~CapturingLogWriter() { g_ptrLogWriter = m_previous; }

int CapturingLogWriter::GetLevel()
{
    ++levelQueries;
    return m_level;
}

void CapturingLogWriter::Log(int level, const char* function, int, int, int, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    lines.push_back({level, function ? function : "", text});
}

std::vector<std::string> CapturingLogWriter::Texts() const
{
    std::vector<std::string> texts;
    for (const Line& line : lines) texts.push_back(line.text);
    return texts;
}

int OpenFdCount()
{
    struct CloseDir {
        void operator()(DIR* dir) const { closedir(dir); }
    };
    std::unique_ptr<DIR, CloseDir> fds(opendir("/proc/self/fd"));
    if (!fds) return -1;
    int count = 0;
    while (const dirent* entry = readdir(fds.get()))
        if (entry->d_name[0] != '.') ++count;
    return count - 1;  // the directory stream's own descriptor
}

namespace {

// An unnamed temporary file, closed with the object; its content is read
// through /proc, from the start.
struct CaptureFile {
    CaptureFile() : fd(::open(TempBase().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600))
    {
        if (fd < 0) throw std::runtime_error("cannot make a temporary file");
    }
    ~CaptureFile() { ::close(fd); }
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;
    std::string Content() const { return ReadFile("/proc/self/fd/" + std::to_string(fd)); }
    int fd;
};

}  // namespace

Outcome Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, const std::string& cwd)
{
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const size_t eq = entry.find('=');
        if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : env) {
        if (value.empty())
            vars.erase(name);
        else
            vars[name] = value;
    }
    std::vector<std::string> entries;
    for (const auto& [name, value] : vars) entries.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& arg : args) argp.push_back(arg.data());
    argp.push_back(nullptr);

    CaptureFile out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd, 1);
    posix_spawn_file_actions_adddup2(&actions, err.fd, 2);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    Outcome result;
    if (rc != 0) {
        result.err = "cannot start " + argv.at(0);
        return result;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) break;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = out.Content();
    result.err = err.Content();
    return result;
}

Outcome Shell(const std::string& command, const std::map<std::string, std::string>& env, const std::string& cwd)
{
    return Run({"/bin/sh", "-c", command}, env, cwd);
}

}  // namespace testsupport
