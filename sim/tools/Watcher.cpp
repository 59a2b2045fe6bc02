#include "Watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "ChangelogFeed.h"
#include "FidStore.h"
#include "FidText.h"
#include "HsmStore.h"
#include "SimState.h"
#include "UniqueFd.h"
#include "WatchSpool.h"
#include "WatchTracker.h"
#include "WholeNumber.h"

namespace sim {
namespace {

using common::UniqueFd;

constexpr uint32_t kDirMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB |
                              IN_MODIFY | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

std::string Join(const std::string& dir, const std::string& name)
{
    if (name.empty()) return dir;
    if (dir.empty()) return name;
    return dir == "/" ? "/" + name : dir + "/" + name;
}

// The daemon around the tracker: inotify, the state's locks and stores, the
// notices of the library and of whoever waits for a flush or a stop.
class Watcher : public TrackerWorld {
public:
    Watcher(std::string stateDir, std::string fs) : m_stateDir(std::move(stateDir)), m_fs(std::move(fs)) {}

    // Locks the pid file, makes the events directory and watches every mount.
    bool Start(std::string& error);
    // Until asked to stop, or until the state directory goes away.
    void Run();

    bool FidAt(size_t mount, const std::string& rel, lu_fid& fid) override;
    bool Stat(size_t mount, const std::string& rel, FileAttr& attr) override;
    lu_fid FidOfGone(const std::string& rel, bool isDir) override;
    bool HsmExists(const lu_fid& fid) override;
    std::vector<std::string> List(size_t mount, const std::string& rel) override;
    int Watch(size_t mount, const std::string& rel) override;
    void Unwatch(int wd) override { inotify_rm_watch(m_inotify.Get(), wd); }
    bool MoreEvents(std::vector<FileEvent>& events) override;
    bool OwnEvent(const FileEvent& event) override;
    void Log(const std::string& text) override;

private:
    struct MountRoot {
        const Mount* mount;
        std::string dir;  // resolved
    };

    std::string WatchDir() const { return lib::WatchDir(m_stateDir, m_fs); }
    std::string PathOf(size_t mount, const std::string& rel) const { return Join(m_mounts[mount].dir, rel); }
    // The state cannot be read or locked: nothing can be recorded any more.
    void Fatal(const std::string& text);

    void Batch(std::vector<FileEvent>& events);
    void OnNotice(const std::string& name);
    void WriteRecords();

    std::string m_stateDir;
    std::string m_fs;
    lib::Context m_ctx;
    int m_mdts = 1;
    std::vector<MountRoot> m_mounts;
    UniqueFd m_pidFile;
    UniqueFd m_inotify;
    int m_eventsWd = -1;
    std::optional<WatchTracker> m_tracker;  // once the MDTs are known

    // Per batch, while the library's lock is held.
    lib::FidStore m_fids;
    std::optional<lib::HsmStore> m_hsm;
    std::vector<std::string> m_answers;  // notices to remove once written
    bool m_stop = false;
    bool m_failed = false;
};

void Watcher::Log(const std::string& text) { std::ofstream(WatchDir() + "/log", std::ios::app) << text << "\n"; }

void Watcher::Fatal(const std::string& text)
{
    Log(text + ": the watcher stops");
    m_stop = m_failed = true;
}

bool Watcher::FidAt(size_t mount, const std::string& rel, lu_fid& fid)
{
    lib::Located loc;
    loc.mount = m_mounts[mount].mount;
    loc.mountDir = m_mounts[mount].dir;
    loc.rel = rel;
    lib::ObjectId id;
    if (lib::StatPath(PathOf(mount, rel), id) != 0) return false;
    fid = m_fids.FidOf(m_ctx, loc, id);
    return true;
}

bool Watcher::Stat(size_t mount, const std::string& rel, FileAttr& attr)
{
    struct stat st;
    if (lstat(PathOf(mount, rel).c_str(), &st) != 0) return false;
    attr = {st.st_mode, st.st_uid, st.st_gid, lib::MtimeNs(st), static_cast<long long>(st.st_size)};
    return true;
}

lu_fid Watcher::FidOfGone(const std::string& rel, bool isDir)
{
    lu_fid fid{};
    if (!m_fids.FidOfPath(m_fs, rel, fid)) fid = m_fids.Allocate(m_fs, lib::MdtForNewObject(rel, isDir, m_mdts));
    return fid;
}

bool Watcher::HsmExists(const lu_fid& fid)
{
    if (!m_hsm) {
        m_hsm.emplace();
        if (!m_hsm->Load(m_ctx)) Log("cannot read the HSM state");
    }
    const lib::FileHsm* f = m_hsm->FindFile(m_fs, fid);
    return f && (f->flags & HS_EXISTS);
}

std::vector<std::string> Watcher::List(size_t mount, const std::string& rel)
{
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(PathOf(mount, rel).c_str()), closedir);
    if (!dir) return names;
    while (const dirent* e = readdir(dir.get())) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    return names;
}

int Watcher::Watch(size_t mount, const std::string& rel)
{
    const std::string path = PathOf(mount, rel);
    const int wd = inotify_add_watch(m_inotify.Get(), path.c_str(), kDirMask);
    if (wd < 0) Log("cannot watch " + path + ": " + strerror(errno));
    return wd;
}

bool Watcher::OwnEvent(const FileEvent& ev)
{
    if (ev.wd != m_eventsWd) return false;
    if (ev.mask & (IN_IGNORED | IN_DELETE_SELF)) {
        m_stop = true;  // the state directory is gone
        m_eventsWd = -1;
    } else if (ev.mask & IN_MOVED_TO) {
        OnNotice(ev.name);
    }
    return true;
}

void Watcher::OnNotice(const std::string& name)
{
    if (name.empty() || name[0] == '.') return;
    const std::string path = lib::WatchEventsDir(m_stateDir, m_fs) + "/" + name;
    std::ifstream in(path);
    std::string verb;
    in >> verb;
    if (verb == "flush" || verb == "stop") {
        m_answers.push_back(path);  // removed once the records before it are written
        m_stop = m_stop || verb == "stop";
        return;
    }
    std::string seq, oid, ver;
    in >> seq >> oid >> ver;
    unsigned long long s, o, v;
    if (!common::WholeNumber(seq, s, 16) || !common::WholeNumber(oid, o, 16) || !common::WholeNumber(ver, v, 16)) {
        Log("bad notice " + name);
    } else {
        const lu_fid fid{s, static_cast<unsigned>(o), static_cast<unsigned>(v)};
        unsigned long long flags = 0, uid = 0, gid = 0;
        std::string f, u, g;
        if (verb == "quiet")
            m_tracker->Quiet(fid);
        else if (verb == "hsm" && in >> f >> u >> g && common::WholeNumber(f, flags, 16) &&
                 common::WholeNumber(u, uid) && common::WholeNumber(g, gid))
            m_tracker->HsmEnded(fid, static_cast<uint32_t>(flags), static_cast<uid_t>(uid), static_cast<gid_t>(gid));
        else if (verb == "done" || verb == "hsm")
            m_tracker->Done(fid);
    }
    unlink(path.c_str());
}

void Watcher::WriteRecords()
{
    // The caller's transaction makes the records part of the batch. The
    // record time is when it is written: the stand-in clock's seconds, the
    // real clock's nanoseconds.
    const int64_t sec = SimNow(m_stateDir);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    for (auto& [mdt, r] : m_tracker->TakeRecords()) {
        r.sec = sec;
        r.nsec = static_cast<uint32_t>(now.tv_nsec);
        ChangelogStore store(*m_ctx.db, mdt);
        if (!AppendChangelogRecord(store, r)) break;
    }
}

void Watcher::Batch(std::vector<FileEvent>& events)
{
    // Whoever holds <state>/lib/lock holds the batches back: a test orders
    // file events against the watcher with it.
    StateLock lock(m_ctx.libDir);
    if (!lock.Locked()) return Fatal(lock.Error());
    // The FIDs given and the records of a batch are stored whole or not at
    // all.
    Transaction tx(*m_ctx.db);
    if (!tx.Begun()) return Fatal("cannot write the state store: " + tx.Error());
    m_hsm.reset();
    m_tracker->Handle(events);
    WriteRecords();
    if (!tx.Commit()) Log(tx.Error() + ": the batch's FIDs and records are lost");
    // Flushes are answered once what came before them is stored.
    for (const auto& path : m_answers) unlink(path.c_str());
    m_answers.clear();
}

bool Watcher::Start(std::string& error)
{
    // The library's state is found through the environment.
    setenv("LUSTRE_SIM_STATE", m_stateDir.c_str(), 1);
    if (!lib::LoadContext(m_ctx)) {
        error = "cannot read the state directory";
        return false;
    }
    m_fids = lib::FidStore(m_ctx.db);
    const std::string dir = WatchDir();
    mkdir((m_stateDir + "/watch").c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    m_pidFile.Reset(open((dir + "/pid").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!m_pidFile.Valid() || flock(m_pidFile.Get(), LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? "file system " + m_fs + " is watched already"
                                     : "cannot lock " + dir + "/pid: " + strerror(errno);
        return false;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(m_pidFile.Get(), 0) != 0 || write(m_pidFile.Get(), pid.data(), pid.size()) < 0) {
        error = "cannot write " + dir + "/pid: " + strerror(errno);
        return false;
    }
    // Notices left by a watcher that died are stale.
    const std::string events = lib::WatchEventsDir(m_stateDir, m_fs);
    if (std::unique_ptr<DIR, int (*)(DIR*)> old(opendir(events.c_str()), closedir); old)
        while (const dirent* e = readdir(old.get()))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) unlink((events + "/" + e->d_name).c_str());
    if (mkdir(events.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot create " + events + ": " + strerror(errno);
        return false;
    }
    m_inotify.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!m_inotify.Valid()) {
        error = std::string("inotify: ") + strerror(errno);
        return false;
    }
    m_eventsWd = inotify_add_watch(m_inotify.Get(), events.c_str(), IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR);
    if (m_eventsWd < 0) {
        error = "cannot watch " + events + ": " + strerror(errno);
        return false;
    }
    m_mdts = lib::MdtCount(m_ctx.config, m_fs);
    m_tracker.emplace(*this, m_fs, m_mdts);
    for (const auto& m : m_ctx.config.mounts) {
        if (m.fs != m_fs) continue;
        lib::Located loc = lib::Locate(m_ctx.config, m.dir);
        struct stat st;
        if (loc.mount != &m || !loc.rel.empty() || stat(loc.mountDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            error = "mount point " + m.dir + " is not a directory";
            return false;
        }
        m_mounts.push_back({&m, loc.mountDir});
    }
    if (m_mounts.empty()) {
        error = "file system " + m_fs + " is not mounted";
        return false;
    }
    Transaction tx(*m_ctx.db);
    if (!tx.Begun()) {
        error = "cannot read the FID store: " + tx.Error();
        return false;
    }
    for (size_t i = 0; i < m_mounts.size(); ++i) {
        if (!m_tracker->AddMount(i)) {
            error = "cannot watch " + m_mounts[i].dir + " (see " + WatchDir() + "/log)";
            return false;
        }
    }
    if (!tx.Commit()) {
        error = "cannot write the FID store: " + tx.Error();
        return false;
    }
    return true;
}

bool Watcher::MoreEvents(std::vector<FileEvent>& events)
{
    alignas(inotify_event) char buf[64 * 1024];
    const size_t before = events.size();
    for (;;) {
        const ssize_t n = read(m_inotify.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t off = 0; off < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
            events.push_back({e->wd, e->mask, e->cookie, e->len ? std::string(e->name) : std::string()});
            off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    return events.size() > before;
}

void Watcher::Run()
{
    while (!m_stop) {
        pollfd p{m_inotify.Get(), POLLIN, 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR) continue;
            Log(std::string("poll: ") + strerror(errno));
            break;
        }
        std::vector<FileEvent> events;
        MoreEvents(events);
        Batch(events);
    }
    // A watcher that failed leaves the requests unanswered: whoever waits
    // sees it end without an answer. The next watcher clears them.
    if (m_failed) return;
    // Stop: no more notices; whoever asked sees its request removed.
    const std::string events = lib::WatchEventsDir(m_stateDir, m_fs);
    if (std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(events.c_str()), closedir); d)
        while (const dirent* e = readdir(d.get()))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) unlink((events + "/" + e->d_name).c_str());
    rmdir(events.c_str());
    unlink((WatchDir() + "/pid").c_str());
}

// Descriptors the daemon must not keep: the caller's pipes among them, or a
// caller that reads our output to its end would wait for the watcher.
void CloseInherited(int keep)
{
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2) close(null);
    }
    std::vector<int> fds;
    if (std::unique_ptr<DIR, int (*)(DIR*)> d(opendir("/proc/self/fd"), closedir); d)
        while (const dirent* e = readdir(d.get())) {
            unsigned long long fd;
            if (common::WholeNumber(e->d_name, fd) && fd > 2 && static_cast<int>(fd) != keep)
                fds.push_back(static_cast<int>(fd));
        }
    for (int fd : fds) close(fd);  // the directory's own descriptor fails harmlessly
}

bool WatcherAlive(int pidFd)
{
    if (flock(pidFd, LOCK_SH | LOCK_NB) == 0) {
        flock(pidFd, LOCK_UN);
        return false;
    }
    return true;
}

}  // namespace

bool LibraryFid(const std::string& stateDir, const std::string& fs, const std::string& rel, lu_fid& fid)
{
    setenv("LUSTRE_SIM_STATE", stateDir.c_str(), 1);
    lib::Context ctx;
    if (!lib::LoadContext(ctx)) return false;
    for (const auto& m : ctx.config.mounts) {
        if (m.fs != fs) continue;
        const lib::Located loc = lib::Locate(ctx.config, Join(m.dir, rel));
        lib::ObjectId id;
        if (loc.mount != &m || lib::StatPath(Join(loc.mountDir, loc.rel), id) != 0) return false;
        Transaction tx(*ctx.db);
        if (!tx.Begun()) return false;
        fid = lib::FidStore(ctx.db).FidOf(ctx, loc, id);
        return tx.Commit();
    }
    return false;
}

bool StartWatcher(const std::string& stateDir, const Config& config, const std::string& fs, std::string& error)
{
    if (!config.FindFs(fs)) {
        error = "no file system " + fs;
        return false;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        error = std::string("fork: ") + strerror(errno);
        return false;
    }
    if (child == 0) {
        // A grandchild in a session of its own, so that nothing waits for it
        // and no terminal signal reaches it.
        setsid();
        if (fork() != 0) _exit(0);
        CloseInherited(writeEnd.Get());
        Watcher watcher(stateDir, fs);
        std::string why;
        const bool ok = watcher.Start(why);
        const std::string answer = ok ? "ready" : why;
        if (write(writeEnd.Get(), answer.data(), answer.size()) < 0) _exit(1);
        writeEnd.Reset();
        if (!ok) _exit(1);
        watcher.Run();
        _exit(0);
    }
    writeEnd.Reset();
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::string answer;
    char buf[512];
    for (ssize_t n; (n = read(readEnd.Get(), buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        answer.append(buf, static_cast<size_t>(n));
    }
    if (answer == "ready") return true;
    error = answer.empty() ? "the watcher did not start" : answer;
    return false;
}

bool FlushWatcher(const std::string& stateDir, const std::string& fs, bool stop, int timeoutMs, std::string& error)
{
    const std::string dir = lib::WatchDir(stateDir, fs);
    UniqueFd pidFile(open((dir + "/pid").c_str(), O_RDONLY | O_CLOEXEC));
    if (!pidFile.Valid() || !WatcherAlive(pidFile.Get())) {
        error = "no watcher of " + fs + " runs";
        return false;
    }
    UniqueFd in(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    const std::string events = lib::WatchEventsDir(stateDir, fs);
    if (!in.Valid() || inotify_add_watch(in.Get(), events.c_str(), IN_DELETE | IN_DELETE_SELF | IN_ONLYDIR) < 0) {
        error = "no watcher of " + fs + " runs";
        return false;
    }
    const std::string name = lib::PostWatchNotice(stateDir, fs, stop ? "stop" : "flush");
    if (name.empty()) {
        error = "cannot reach the watcher of " + fs;
        return false;
    }
    // Answered when the watcher removes the notice, or its whole directory.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool answered = false, ended = false;
    alignas(inotify_event) char buf[4096];
    while (!answered && !ended) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{in.Get(), POLLIN, 0};
        // A watcher that died answers nothing: look every 100 ms.
        const int rc = poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
        if (rc == 0 && !WatcherAlive(pidFile.Get())) break;
        for (ssize_t n; !answered && (n = read(in.Get(), buf, sizeof buf)) > 0;)
            for (ssize_t off = 0; off < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
                if (e->len && name == e->name) answered = true;
                if (e->mask & (IN_DELETE_SELF | IN_IGNORED)) ended = true;  // the watcher ended
                off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
    }
    if (!answered && !(ended && stop)) {
        error = ended || !WatcherAlive(pidFile.Get()) ? "the watcher of " + fs + " ended (see " + dir + "/log)"
                                                      : "the watcher of " + fs + " did not answer";
        return false;
    }
    // After a stop, wait for the process itself to end.
    while (stop && WatcherAlive(pidFile.Get())) {
        if (std::chrono::steady_clock::now() >= deadline) {
            error = "the watcher of " + fs + " did not end";
            return false;
        }
        poll(nullptr, 0, 1);
    }
    return true;
}

}  // namespace sim
