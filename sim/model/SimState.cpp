#include "SimState.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "ToolContext.h"

namespace sim::lib {
namespace {

std::atomic<bool> g_configErrorShown{false};

// One store connection per thread: SQLite connections are not shared
// between threads here, and never carried into a forked child (the child's
// copy is left alone, not closed, as closing it would touch the parent's
// locks).
struct ThreadDb {
    std::string stateDir;
    pid_t pid = 0;
    std::unique_ptr<StateDb> db;
    ~ThreadDb()
    {
        if (pid != getpid()) static_cast<void>(db.release());
    }
};
thread_local ThreadDb t_db;

StateDb* OpenDb(const std::string& stateDir, std::string& error)
{
    if (t_db.db && t_db.pid == getpid() && t_db.stateDir == stateDir) return t_db.db.get();
    if (t_db.pid != getpid()) static_cast<void>(t_db.db.release());
    t_db.db = StateDb::Open(stateDir, error);
    t_db.pid = getpid();
    t_db.stateDir = stateDir;
    return t_db.db.get();
}

std::string Absolute(const std::string& path)
{
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

// Resolves what exists of path, keeping the rest lexically.
std::string ResolveDir(const std::string& path)
{
    std::string head = path, tail;
    for (;;) {
        char resolved[PATH_MAX];
        if (realpath(head.c_str(), resolved)) {
            std::string r = resolved;
            if (tail.empty()) return r;
            return r == "/" ? "/" + tail : r + "/" + tail;
        }
        size_t slash = head.find_last_of('/');
        if (slash == std::string::npos) return path;
        std::string last = head.substr(slash + 1);
        if (!last.empty()) tail = tail.empty() ? last : last + "/" + tail;
        head = slash == 0 ? "/" : head.substr(0, slash);
    }
}

bool Inside(const std::string& target, const std::string& dir, std::string& rel)
{
    if (target == dir) {
        rel.clear();
        return true;
    }
    if (dir == "/") {
        rel = target.substr(1);
        return true;
    }
    if (target.size() > dir.size() && target.compare(0, dir.size(), dir) == 0 && target[dir.size()] == '/') {
        rel = target.substr(dir.size() + 1);
        return true;
    }
    return false;
}

}  // namespace

bool LoadContext(Context& ctx)
{
    ctx.stateDir = StateDir();
    std::string error;
    if (!LoadConfig(ctx.stateDir, ctx.config, error)) {
        if (!g_configErrorShown.exchange(true)) fprintf(stderr, "liblustreapi stand-in: %s\n", error.c_str());
        return false;
    }
    ctx.libDir = ctx.stateDir + "/lib";
    if (mkdir(ctx.libDir.c_str(), 0755) != 0 && errno != EEXIST) {
        if (!g_configErrorShown.exchange(true))
            fprintf(stderr, "liblustreapi stand-in: cannot create %s: %s\n", ctx.libDir.c_str(), strerror(errno));
        return false;
    }
    ctx.db = OpenDb(ctx.stateDir, error);
    if (!ctx.db) {
        if (!g_configErrorShown.exchange(true)) fprintf(stderr, "liblustreapi stand-in: %s\n", error.c_str());
        return false;
    }
    return true;
}

Located Locate(const Config& config, const std::string& path)
{
    Located out;
    std::string abs = Absolute(path);
    while (abs.size() > 1 && abs.back() == '/') abs.pop_back();
    // The last component is not followed, except "." and ".." which name
    // directories anyway.
    std::string target;
    size_t slash = abs.find_last_of('/');
    std::string last = abs.substr(slash + 1);
    if (last.empty() || last == "." || last == "..")
        target = ResolveDir(abs);
    else {
        std::string parent = ResolveDir(slash == 0 ? "/" : abs.substr(0, slash));
        target = parent == "/" ? "/" + last : parent + "/" + last;
    }
    size_t bestLen = 0;
    for (const auto& m : config.mounts) {
        std::string dir = ResolveDir(Absolute(m.dir));
        std::string rel;
        if (Inside(target, dir, rel) && (!out.mount || dir.size() > bestLen)) {
            out.mount = &m;
            out.mountDir = dir;
            out.rel = rel;
            bestLen = dir.size();
        }
    }
    return out;
}

const Mount* FindDevice(const Config& config, const std::string& device)
{
    if (device.empty()) return nullptr;
    if (device[0] == '/') {
        std::string want = ResolveDir(device);
        while (want.size() > 1 && want.back() == '/') want.pop_back();
        for (const auto& m : config.mounts)
            if (ResolveDir(m.dir) == want) return &m;
        // Any path inside a mount names that mount.
        Located loc = Locate(config, device);
        return loc.mount;
    }
    for (const auto& m : config.mounts) {
        if (m.fs == device) return &m;
        for (int i = 0; i < MdtCount(config, m.fs); ++i)
            if (MdtName(m.fs, i) == device) return &m;
    }
    return nullptr;
}

int MdtCount(const Config& config, const std::string& fs)
{
    const FileSystem* f = config.FindFs(fs);
    return f ? f->mdts : 1;
}

namespace {

// The node and MDTs a call about mdt needs, as the tools see them.
ToolContext NodeOf(const Context& ctx, const std::string& mdt, std::vector<std::string>& mdts)
{
    ToolContext tool;
    tool.stateDir = ctx.stateDir;
    tool.config = ctx.config;
    const char* host = getenv("LUSTRE_SIM_HOST");
    tool.host = host ? host : "";
    if (const FileSystem* fs = ctx.config.FindFs(mdt)) {
        for (int i = 0; i < fs->mdts; ++i) mdts.push_back(MdtName(fs->name, i));
    } else {
        mdts.push_back(mdt);
    }
    return tool;
}

}  // namespace

bool ServerHung(const Context& ctx, const std::string& mdt)
{
    std::vector<std::string> mdts;
    return NodeOf(ctx, mdt, mdts).Hung(mdts);
}

void WaitForServer(const Context& ctx, const std::string& mdt)
{
    std::vector<std::string> mdts;
    NodeOf(ctx, mdt, mdts).WaitWhileHung(mdts);
}

long long MtimeNs(const struct stat& st)
{
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

}  // namespace sim::lib
