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
#include <tuple>
#include <vector>

#include "ChangelogStore.h"
#include "FidStore.h"
#include "FidText.h"
#include "HsmStore.h"
#include "SimState.h"
#include "UniqueFd.h"
#include "WatchSpool.h"

namespace sim {
namespace {

using common::UniqueFd;

// Record types (changelog_type2str order) and flags the watcher writes.
enum Type {
    CREAT = 1,
    MKDIR = 2,
    HLINK = 3,
    SLINK = 4,
    MKNOD = 5,
    UNLNK = 6,
    RMDIR = 7,
    RENME = 8,
    CLOSE = 11,
    TRUNC = 13,
    SATTR = 14,
    HSM = 16,
    MTIME = 17
};
constexpr uint32_t kUnlinkLast = 0x1, kUnlinkHsmExists = 0x2;  // CLF_UNLINK_*; CLF_RENAME_* share the bits
constexpr uint32_t kOpenWrite = 0x2;                           // MDS_FMODE_WRITE of a CLOSE's open mode

constexpr uint32_t kDirMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB |
                              IN_MODIFY | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

using FidKey = std::tuple<unsigned long long, unsigned, unsigned>;
FidKey Key(const lu_fid& f) { return {f.f_seq, f.f_oid, f.f_ver}; }
Fid ToFid(const lu_fid& f) { return Fid{f.f_seq, f.f_oid, f.f_ver}; }

std::string Join(const std::string& dir, const std::string& name)
{
    if (name.empty()) return dir;
    if (dir.empty()) return name;
    return dir == "/" ? "/" + name : dir + "/" + name;
}

// What a later change is compared with.
struct Attr {
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    long long mtimeNs = 0;
    long long size = 0;
};

bool StatAttr(const std::string& path, Attr& a)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    a = {st.st_mode, st.st_uid, st.st_gid, lib::MtimeNs(st), static_cast<long long>(st.st_size)};
    return true;
}

struct Entry {
    lu_fid fid{};
    bool isDir = false;
    int wd = -1;  // the directory's watch
};

struct Dir {
    int parent = -1;  // the parent's watch; -1 for a mount point
    std::string name;
    size_t mount = 0;
    lu_fid fid{};
    std::map<std::string, Entry> entries;
};

struct Event {
    int wd;
    uint32_t mask;
    uint32_t cookie;
    std::string name;
};

class Watcher {
public:
    Watcher(std::string stateDir, std::string fs) : m_stateDir(std::move(stateDir)), m_fs(std::move(fs)) {}

    // Locks the pid file, makes the events directory and watches every mount.
    bool Start(std::string& error);
    // Until asked to stop, or until the state directory goes away.
    void Run();

private:
    struct MountRoot {
        const Mount* mount;
        std::string dir;  // resolved
    };

    std::string WatchDir() const { return lib::WatchDir(m_stateDir, m_fs); }
    void Log(const std::string& text) const;
    // The state cannot be read or locked: nothing can be recorded any more.
    void Fatal(const std::string& text);

    void Batch(std::vector<Event>& events);
    void OnEvent(std::vector<Event>& events, size_t i);
    void OnNotice(const std::string& name);
    void WriteRecords();

    std::string RelOf(int wd) const;
    std::string PathOf(int wd, const std::string& name) const;
    // The FID of the object at name in dir, assigned when new. False when
    // nothing is there.
    bool FidAt(int wd, const std::string& name, lu_fid& fid);
    // For an object gone before the watcher looked: the FID the library gave
    // to that path, or a FID of its own.
    lu_fid FidOfGone(int wd, const std::string& name, bool isDir);
    // Where the object that event m_index names is now, following the
    // renames reported after it. False when nothing says it moved.
    bool Follow(int& wd, std::string& name);
    // Appends what the kernel has queued; false when nothing was.
    bool ReadEvents(std::vector<Event>& events);
    bool HsmExists(const lu_fid& fid);

    void Created(int wd, const std::string& name, bool isDirHint, bool moved, bool emit);
    // Watches the directory at path, known as d; its watch, or -1.
    int AddWatch(const std::string& path, const Dir& d);
    // Takes in what a newly watched directory holds.
    void Scan(int wd, bool emit);
    void Removed(int wd, const std::string& name);
    void Renamed(int fromWd, const std::string& fromName, int toWd, const std::string& toName);
    void Changed(int wd, const std::string& name, uint32_t mask);
    void Forget(int wd);
    void Resnap(const lu_fid& fid);

    void Emit(int type, uint32_t flags, const lu_fid& target, const lu_fid* parent, const std::string& name,
              const Attr* owner, const lu_fid* source = nullptr, const lu_fid* sourceParent = nullptr,
              const std::string& sourceName = "");

    std::string m_stateDir;
    std::string m_fs;
    lib::Context m_ctx;
    int m_mdts = 1;
    std::vector<MountRoot> m_mounts;
    UniqueFd m_pidFile;
    UniqueFd m_inotify;
    int m_eventsWd = -1;
    std::map<int, Dir> m_dirs;
    std::map<FidKey, int> m_links;  // names of each object below the mounts
    std::map<FidKey, Attr> m_attrs;
    std::set<FidKey> m_quiet;  // objects whose data the library is writing

    // Per batch, while the library's lock is held.
    lib::FidStore m_fids;
    std::optional<lib::HsmStore> m_hsm;
    std::vector<std::pair<std::string, ChangelogRecord>> m_records;  // MDT, record
    std::vector<std::string> m_answers;                              // notices to remove once written
    std::vector<Event>* m_batch = nullptr;
    size_t m_index = 0;  // the event being handled
    bool m_stop = false;
    bool m_failed = false;
};

void Watcher::Log(const std::string& text) const { std::ofstream(WatchDir() + "/log", std::ios::app) << text << "\n"; }

void Watcher::Fatal(const std::string& text)
{
    Log(text + ": the watcher stops");
    m_stop = m_failed = true;
}

std::string Watcher::RelOf(int wd) const
{
    std::string rel;
    for (auto it = m_dirs.find(wd); it != m_dirs.end() && it->second.parent >= 0; it = m_dirs.find(it->second.parent))
        rel = rel.empty() ? it->second.name : it->second.name + "/" + rel;
    return rel;
}

std::string Watcher::PathOf(int wd, const std::string& name) const
{
    const Dir& d = m_dirs.at(wd);
    return Join(Join(m_mounts[d.mount].dir, RelOf(wd)), name);
}

bool Watcher::FidAt(int wd, const std::string& name, lu_fid& fid)
{
    const Dir& d = m_dirs.at(wd);
    lib::Located loc;
    loc.mount = m_mounts[d.mount].mount;
    loc.mountDir = m_mounts[d.mount].dir;
    loc.rel = Join(RelOf(wd), name);
    lib::ObjectId id;
    if (lib::StatPath(Join(loc.mountDir, loc.rel), id) != 0) return false;
    fid = m_fids.FidOf(m_ctx, loc, id);
    return true;
}

lu_fid Watcher::FidOfGone(int wd, const std::string& name, bool isDir)
{
    const std::string rel = Join(RelOf(wd), name);
    lu_fid fid{};
    if (!m_fids.FidOfPath(m_fs, rel, fid)) fid = m_fids.Allocate(m_fs, lib::MdtForNewObject(rel, isDir, m_mdts));
    return fid;
}

// A rename done before the object was found missing is queued by then, in
// this batch or still in the kernel.
bool Watcher::Follow(int& wd, std::string& name)
{
    if (!m_batch) return false;  // the first scan: no events yet
    std::vector<Event>& events = *m_batch;
    bool moved = false, readMore = true;
    for (size_t j = m_index + 1;; ++j) {
        if (j >= events.size()) {
            if (!readMore || !ReadEvents(events)) return moved;
            readMore = false;
        }
        const Event e = events[j];
        if (e.wd != wd || e.name != name) continue;
        if (e.mask & IN_DELETE) return false;
        if (!(e.mask & IN_MOVED_FROM)) continue;
        size_t k = j + 1;
        while (k < events.size() && !((events[k].mask & IN_MOVED_TO) && events[k].cookie == e.cookie)) ++k;
        if (k == events.size() || !m_dirs.count(events[k].wd)) return false;
        wd = events[k].wd;
        name = events[k].name;
        moved = true;
        j = k;
    }
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

void Watcher::Emit(int type, uint32_t flags, const lu_fid& target, const lu_fid* parent, const std::string& name,
                   const Attr* owner, const lu_fid* source, const lu_fid* sourceParent, const std::string& sourceName)
{
    ChangelogRecord r;
    r.type = type;
    r.flags = flags;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    r.sec = SimNow(m_stateDir);
    r.nsec = static_cast<uint32_t>(now.tv_nsec);
    r.tfid = ToFid(target);
    if (parent) r.pfid = ToFid(*parent);
    r.name = name;
    if (owner) {
        r.uid = owner->uid;
        r.gid = owner->gid;
    }
    if (source) {
        r.rename = true;
        r.sfid = ToFid(*source);
        r.spfid = ToFid(*sourceParent);
        r.sname = sourceName;
    }
    // Namespace records go to the parent's MDT, the others to the object's.
    const int mdt = lib::MdtOfFid(parent ? *parent : target, m_mdts);
    m_records.emplace_back(MdtName(m_fs, mdt < 0 ? 0 : mdt), r);
}

void Watcher::Created(int wd, const std::string& name, bool isDirHint, bool moved, bool emit)
{
    auto dit = m_dirs.find(wd);
    if (dit == m_dirs.end()) return;
    // Where the object is now: a name's object may have moved on already.
    int atWd = wd;
    std::string atName = name;
    lu_fid fid{};
    bool exists = FidAt(wd, name, fid);
    if (!exists && Follow(atWd, atName)) exists = FidAt(atWd, atName, fid);
    if (!exists) fid = FidOfGone(wd, name, isDirHint);
    Dir& d = dit->second;
    auto old = d.entries.find(name);
    if (old != d.entries.end()) {
        if (Key(old->second.fid) == Key(fid)) return;  // seen by the scan of a new directory already
        Removed(wd, name);                             // moved over from outside the mounts
    }
    Attr attr;
    const bool known = exists && StatAttr(PathOf(atWd, atName), attr);
    const bool isDir = known ? S_ISDIR(attr.mode) : isDirHint;
    int type = CREAT;
    if (isDir)
        type = MKDIR;
    else if (known && S_ISLNK(attr.mode))
        type = SLINK;
    else if (known && !S_ISREG(attr.mode))
        type = MKNOD;
    else if (!moved && m_links.count(Key(fid)))
        type = HLINK;
    if (emit) Emit(type, 0, fid, &d.fid, name, known ? &attr : nullptr);
    d.entries[name] = Entry{fid, isDir, -1};
    ++m_links[Key(fid)];
    if (known) m_attrs[Key(fid)] = attr;
    if (isDir && known) {
        // What a directory moved in holds came with it; what a new one holds
        // was made in it.
        const int sub = AddWatch(PathOf(atWd, atName), Dir{wd, name, d.mount, fid, {}});
        if (sub < 0) return;
        d.entries[name].wd = sub;
        Scan(sub, emit && !moved);
    }
}

int Watcher::AddWatch(const std::string& path, const Dir& d)
{
    const int wd = inotify_add_watch(m_inotify.Get(), path.c_str(), kDirMask);
    if (wd < 0)
        Log("cannot watch " + path + ": " + strerror(errno));
    else
        m_dirs[wd] = d;
    return wd;
}

// Entries made before the watch existed are recorded here when emit; those
// made after arrive as events too, and are known by then.
void Watcher::Scan(int wd, bool emit)
{
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(PathOf(wd, "").c_str()), closedir);
    if (!dir) return;
    std::vector<std::string> names;
    while (const dirent* e = readdir(dir.get())) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    for (const auto& n : names) Created(wd, n, false, false, emit);
}

void Watcher::Forget(int wd)
{
    auto it = m_dirs.find(wd);
    if (it == m_dirs.end()) return;
    for (const auto& [name, e] : it->second.entries) {
        if (--m_links[Key(e.fid)] <= 0) {
            m_links.erase(Key(e.fid));
            m_attrs.erase(Key(e.fid));
        }
        if (e.isDir && e.wd >= 0) {
            inotify_rm_watch(m_inotify.Get(), e.wd);
            Forget(e.wd);
        }
    }
    m_dirs.erase(it);
}

void Watcher::Removed(int wd, const std::string& name)
{
    auto dit = m_dirs.find(wd);
    if (dit == m_dirs.end()) return;
    auto eit = dit->second.entries.find(name);
    if (eit == dit->second.entries.end()) return;  // never seen: it came and went between two looks
    const Entry e = eit->second;
    dit->second.entries.erase(eit);
    const FidKey key = Key(e.fid);
    const bool last = --m_links[key] <= 0;
    const Attr owner = m_attrs[key];
    uint32_t flags = 0;
    if (last) {
        flags = kUnlinkLast;
        if (!e.isDir && HsmExists(e.fid)) flags |= kUnlinkHsmExists;
        m_links.erase(key);
        m_attrs.erase(key);
    }
    Emit(e.isDir ? RMDIR : UNLNK, flags, e.fid, &dit->second.fid, name, &owner);
    if (e.isDir && e.wd >= 0) {
        inotify_rm_watch(m_inotify.Get(), e.wd);
        Forget(e.wd);
    }
}

void Watcher::Renamed(int fromWd, const std::string& fromName, int toWd, const std::string& toName)
{
    auto from = m_dirs.find(fromWd);
    auto to = m_dirs.find(toWd);
    if (from == m_dirs.end() || !from->second.entries.count(fromName)) return Created(toWd, toName, false, true, true);
    if (to == m_dirs.end()) return Removed(fromWd, fromName);
    const Entry e = from->second.entries.at(fromName);
    // A name moved over loses its object's link.
    lu_fid target{};
    uint32_t flags = 0;
    auto over = to->second.entries.find(toName);
    if (over != to->second.entries.end()) {
        const Entry gone = over->second;
        target = gone.fid;
        to->second.entries.erase(over);
        if (--m_links[Key(gone.fid)] <= 0) {
            flags = kUnlinkLast;
            if (!gone.isDir && HsmExists(gone.fid)) flags |= kUnlinkHsmExists;
            m_links.erase(Key(gone.fid));
            m_attrs.erase(Key(gone.fid));
        }
        if (gone.isDir && gone.wd >= 0) Forget(gone.wd);
    }
    from->second.entries.erase(fromName);
    to->second.entries[toName] = e;
    if (e.isDir && e.wd >= 0) {
        Dir& moved = m_dirs.at(e.wd);
        moved.parent = toWd;
        moved.name = toName;
    }
    // The store keeps the path it last saw of each FID.
    lu_fid seen;
    FidAt(toWd, toName, seen);
    const Attr owner = m_attrs[Key(e.fid)];
    Emit(RENME, flags, target, &to->second.fid, toName, &owner, &e.fid, &from->second.fid, fromName);
}

void Watcher::Changed(int wd, const std::string& name, uint32_t mask)
{
    auto dit = m_dirs.find(wd);
    if (dit == m_dirs.end()) return;
    auto eit = dit->second.entries.find(name);
    if (eit == dit->second.entries.end()) return;
    const lu_fid fid = eit->second.fid;
    if (m_quiet.count(Key(fid))) return;
    Attr& was = m_attrs[Key(fid)];
    Attr now = was;
    const bool exists = StatAttr(PathOf(wd, name), now);
    if (mask & IN_CLOSE_WRITE) {
        Emit(CLOSE, kOpenWrite, fid, nullptr, "", &now);  // a close happened, whatever became of the file since
    } else if (!exists) {
        return;
    } else if (mask & IN_MODIFY) {
        if (now.size < was.size) Emit(TRUNC, 0, fid, nullptr, "", &now);
    } else if (mask & IN_ATTRIB) {
        if ((now.mode & 07777) != (was.mode & 07777) || now.uid != was.uid || now.gid != was.gid)
            Emit(SATTR, 0, fid, nullptr, "", &now);
        else if (now.mtimeNs != was.mtimeNs)
            Emit(MTIME, 0, fid, nullptr, "", &now);
    }
    was = now;
}

// After the library wrote an object's data: its attributes as they are now.
void Watcher::Resnap(const lu_fid& fid)
{
    for (const auto& [wd, d] : m_dirs)
        for (const auto& [name, e] : d.entries)
            if (Key(e.fid) == Key(fid)) {
                Attr a;
                if (StatAttr(PathOf(wd, name), a)) m_attrs[Key(fid)] = a;
                return;
            }
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
    if (!lib::ParseU64(seq, s, 16) || !lib::ParseU64(oid, o, 16) || !lib::ParseU64(ver, v, 16)) {
        Log("bad notice " + name);
    } else {
        const lu_fid fid{s, static_cast<unsigned>(o), static_cast<unsigned>(v)};
        if (verb == "quiet") {
            m_quiet.insert(Key(fid));
        } else if (verb == "done" || verb == "hsm") {
            m_quiet.erase(Key(fid));
            Resnap(fid);
            unsigned long long flags = 0, uid = 0, gid = 0;
            std::string f, u, g;
            if (verb == "hsm" && in >> f >> u >> g && lib::ParseU64(f, flags, 16) && lib::ParseU64(u, uid) &&
                lib::ParseU64(g, gid)) {
                Attr owner;
                owner.uid = static_cast<uid_t>(uid);
                owner.gid = static_cast<gid_t>(gid);
                Emit(HSM, static_cast<uint32_t>(flags), fid, nullptr, "", &owner);
            }
        }
    }
    unlink(path.c_str());
}

void Watcher::OnEvent(std::vector<Event>& events, size_t i)
{
    const Event ev = events[i];  // a copy: handlers may read more events into the batch
    if (ev.wd < 0) return;       // taken by its rename pair
    if (ev.mask & IN_Q_OVERFLOW) {
        Log("events were lost (inotify queue overflow)");
        return;
    }
    if (ev.wd == m_eventsWd) {
        if (ev.mask & (IN_IGNORED | IN_DELETE_SELF)) {
            m_stop = true;  // the state directory is gone
            m_eventsWd = -1;
        } else if (ev.mask & IN_MOVED_TO) {
            OnNotice(ev.name);
        }
        return;
    }
    if (ev.mask & IN_IGNORED) {
        auto it = m_dirs.find(ev.wd);
        if (it != m_dirs.end() && it->second.parent < 0) Log("a mount point went away");
        if (it != m_dirs.end()) Forget(ev.wd);
        return;
    }
    if (ev.name.empty()) return;
    const bool isDir = ev.mask & IN_ISDIR;
    if (ev.mask & IN_CREATE) {
        Created(ev.wd, ev.name, isDir, false, true);
    } else if (ev.mask & IN_MOVED_FROM) {
        // Its other half follows at once when the object stays below a mount
        // (in the kernel's queue still, when the batch ends between them).
        for (size_t j = i + 1; j < events.size() || (j == events.size() && ReadEvents(events)); ++j)
            if ((events[j].mask & IN_MOVED_TO) && events[j].cookie == ev.cookie) {
                const Event to = events[j];
                events[j].wd = -1;
                Renamed(ev.wd, ev.name, to.wd, to.name);
                return;
            }
        Removed(ev.wd, ev.name);
    } else if (ev.mask & IN_MOVED_TO) {
        Created(ev.wd, ev.name, isDir, true, true);
    } else if (ev.mask & IN_DELETE) {
        Removed(ev.wd, ev.name);
    } else if (!isDir && (ev.mask & (IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB))) {
        Changed(ev.wd, ev.name, ev.mask);
    } else if (isDir && (ev.mask & IN_ATTRIB)) {
        Changed(ev.wd, ev.name, IN_ATTRIB);
    }
}

void Watcher::WriteRecords()
{
    // The caller's transaction makes the records part of the batch.
    for (auto& [mdt, r] : m_records)
        if (!ChangelogStore(*m_ctx.db, mdt).Append(r)) break;
    m_records.clear();
}

void Watcher::Batch(std::vector<Event>& events)
{
    // Whoever holds <state>/lib/lock holds the batches back: a test orders
    // file events against the watcher with it.
    StateLock lock(m_ctx.libDir);
    if (!lock.Locked()) return Fatal(lock.Error());
    // The FIDs given and the records of a batch are stored whole or not at
    // all.
    Transaction tx(*m_ctx.db);
    if (!tx.Begun()) return Fatal("cannot write the state store: " + tx.Error());
    if (!m_fids.Load(m_ctx)) return Fatal("cannot read the FID store");
    m_hsm.reset();
    m_batch = &events;
    for (m_index = 0; m_index < events.size(); ++m_index) OnEvent(events, m_index);
    m_batch = nullptr;
    WriteRecords();
    if (!m_fids.Save(m_ctx) || !tx.Commit()) Log(tx.Error() + ": the batch's FIDs and records are lost");
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
    if (!tx.Begun() || !m_fids.Load(m_ctx)) {
        error = "cannot read the FID store: " + tx.Error();
        return false;
    }
    for (size_t i = 0; i < m_mounts.size(); ++i) {
        const int wd = AddWatch(m_mounts[i].dir, Dir{-1, "", i, lu_fid{lib::kSeqRoot, 1, 0}, {}});
        if (wd < 0) {
            error = "cannot watch " + m_mounts[i].dir + " (see " + WatchDir() + "/log)";
            return false;
        }
        Scan(wd, false);
    }
    if (!m_fids.Save(m_ctx) || !tx.Commit()) {
        error = "cannot write the FID store: " + tx.Error();
        return false;
    }
    return true;
}

bool Watcher::ReadEvents(std::vector<Event>& events)
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
        std::vector<Event> events;
        ReadEvents(events);
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
            if (lib::ParseU64(e->d_name, fd) && fd > 2 && static_cast<int>(fd) != keep)
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

bool LibraryFid(const std::string& stateDir, const std::string& fs, const std::string& rel, Fid& fid)
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
        lib::FidStore fids;
        if (!tx.Begun() || !fids.Load(ctx)) return false;
        fid = ToFid(fids.FidOf(ctx, loc, id));
        return fids.Save(ctx) && tx.Commit();
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
