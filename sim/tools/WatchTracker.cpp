#include "WatchTracker.h"

#include <sys/inotify.h>
#include <sys/stat.h>

#include "FidStore.h"
#include "FidText.h"
#include "SimConfig.h"

namespace sim {
namespace {

// Record types (changelog_type2str order) and flags the tracker writes.
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

std::string Join(const std::string& dir, const std::string& name)
{
    if (name.empty()) return dir;
    if (dir.empty()) return name;
    return dir + "/" + name;
}

}  // namespace

bool WatchTracker::AddMount(size_t mount)
{
    Dir root{-1, "", mount, lu_fid{lib::kSeqRoot, 1, 0}, {}, {}};
    if (!m_world.Stat(mount, "", root.attr)) return false;
    const int wd = m_world.Watch(mount, "");
    if (wd < 0) return false;
    m_dirs[wd] = root;
    Scan(wd, false);
    return true;
}

void WatchTracker::Handle(std::vector<FileEvent>& events)
{
    m_batch = &events;
    for (m_index = 0; m_index < events.size(); ++m_index) OnEvent(events, m_index);
    m_batch = nullptr;
}

std::vector<std::pair<std::string, ChangelogRecord>> WatchTracker::TakeRecords()
{
    std::vector<std::pair<std::string, ChangelogRecord>> records;
    records.swap(m_records);
    return records;
}

std::string WatchTracker::RelOf(int wd) const
{
    std::string rel;
    for (auto it = m_dirs.find(wd); it != m_dirs.end() && it->second.parent >= 0; it = m_dirs.find(it->second.parent))
        rel = rel.empty() ? it->second.name : it->second.name + "/" + rel;
    return rel;
}

std::string WatchTracker::RelOf(int wd, const std::string& name) const { return Join(RelOf(wd), name); }

bool WatchTracker::FidAt(int wd, const std::string& name, lu_fid& fid)
{
    return m_world.FidAt(m_dirs.at(wd).mount, RelOf(wd, name), fid);
}

bool WatchTracker::Stat(int wd, const std::string& name, FileAttr& attr)
{
    return m_world.Stat(m_dirs.at(wd).mount, RelOf(wd, name), attr);
}

FileAttr WatchTracker::Owner(const lu_fid& fid, const Dir& dir) const
{
    const auto it = m_attrs.find(Key(fid));
    if (it != m_attrs.end()) return it->second;
    FileAttr owner;
    owner.uid = dir.attr.uid;
    owner.gid = dir.attr.gid;
    return owner;
}

// A rename done before the object was found missing is queued by then, in
// this batch or still in the kernel.
bool WatchTracker::Follow(int& wd, std::string& name)
{
    if (!m_batch) return false;  // the first scan: no events yet
    std::vector<FileEvent>& events = *m_batch;
    bool moved = false, readMore = true;
    for (size_t j = m_index + 1;; ++j) {
        if (j >= events.size()) {
            if (!readMore || !m_world.MoreEvents(events)) return moved;
            readMore = false;
        }
        const FileEvent e = events[j];
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

void WatchTracker::Emit(int type, uint32_t flags, const lu_fid& target, const lu_fid* parent, const std::string& name,
                        const FileAttr& owner, const lu_fid* source, const lu_fid* sourceParent,
                        const std::string& sourceName)
{
    ChangelogRecord r;
    r.type = type;
    r.flags = flags;
    r.tfid = target;
    if (parent) r.pfid = *parent;
    r.name = name;
    r.uid = owner.uid;
    r.gid = owner.gid;
    if (source) {
        r.rename = true;
        r.sfid = *source;
        r.spfid = *sourceParent;
        r.sname = sourceName;
    }
    // The MDT that does the operation writes the record. Lustre's clients
    // send an unlink, a rmdir and a rename that replaces a name to the MDT of
    // the object, a mkdir to the MDT the directory is made on, and the other
    // namespace operations to the MDT of the (new) parent.
    const bool atObject = type == UNLNK || type == RMDIR || type == MKDIR || (type == RENME && target.f_seq != 0);
    const int mdt = lib::MdtOfFid(parent && !atObject ? *parent : target, m_mdts);
    m_records.emplace_back(MdtName(m_fs, mdt < 0 ? 0 : mdt), r);
}

void WatchTracker::Created(int wd, const std::string& name, bool isDirHint, bool moved, bool emit)
{
    auto dit = m_dirs.find(wd);
    if (dit == m_dirs.end()) return;
    // Where the object is now: a name's object may have moved on already.
    int atWd = wd;
    std::string atName = name;
    lu_fid fid{};
    bool exists = FidAt(wd, name, fid);
    if (!exists && Follow(atWd, atName)) exists = FidAt(atWd, atName, fid);
    if (!exists) fid = m_world.FidOfGone(RelOf(wd, name), isDirHint);
    Dir& d = dit->second;
    auto old = d.entries.find(name);
    if (old != d.entries.end()) {
        if (Key(old->second.fid) == Key(fid)) return;  // seen by the scan of a new directory already
        Removed(wd, name);                             // moved over from outside the mounts
    }
    FileAttr attr;
    const bool known = exists && Stat(atWd, atName, attr);
    if (!known) attr = Owner(fid, d);
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
    if (emit) Emit(type, 0, fid, &d.fid, name, attr);
    d.entries[name] = Entry{fid, isDir, -1};
    ++m_links[Key(fid)];
    if (known || !m_attrs.count(Key(fid))) m_attrs[Key(fid)] = attr;
    if (isDir && known) {
        // What a directory moved in holds came with it; what a new one holds
        // was made in it.
        const int sub = AddWatch(atWd, atName, Dir{wd, name, d.mount, fid, attr, {}});
        if (sub < 0) return;
        d.entries[name].wd = sub;
        Scan(sub, emit && !moved);
    }
}

int WatchTracker::AddWatch(int parent, const std::string& name, Dir d)
{
    const int wd = m_world.Watch(m_dirs.at(parent).mount, RelOf(parent, name));
    if (wd >= 0) m_dirs[wd] = std::move(d);
    return wd;
}

// Entries made before the watch existed are recorded here when emit; those
// made after arrive as events too, and are known by then.
void WatchTracker::Scan(int wd, bool emit)
{
    for (const auto& n : m_world.List(m_dirs.at(wd).mount, RelOf(wd))) Created(wd, n, false, false, emit);
}

void WatchTracker::Forget(int wd)
{
    auto it = m_dirs.find(wd);
    if (it == m_dirs.end()) return;
    for (const auto& [name, e] : it->second.entries) {
        if (--m_links[Key(e.fid)] <= 0) {
            m_links.erase(Key(e.fid));
            m_attrs.erase(Key(e.fid));
        }
        if (e.isDir && e.wd >= 0) {
            m_world.Unwatch(e.wd);
            Forget(e.wd);
        }
    }
    m_dirs.erase(it);
}

void WatchTracker::Removed(int wd, const std::string& name)
{
    auto dit = m_dirs.find(wd);
    if (dit == m_dirs.end()) return;
    auto eit = dit->second.entries.find(name);
    if (eit == dit->second.entries.end()) return;  // never seen: it came and went between two looks
    const Entry e = eit->second;
    dit->second.entries.erase(eit);
    const FidKey key = Key(e.fid);
    const bool last = --m_links[key] <= 0;
    const FileAttr owner = Owner(e.fid, dit->second);
    uint32_t flags = 0;
    if (last) {
        flags = kUnlinkLast;
        if (!e.isDir && m_world.HsmExists(e.fid)) flags |= kUnlinkHsmExists;
        m_links.erase(key);
        m_attrs.erase(key);
    }
    Emit(e.isDir ? RMDIR : UNLNK, flags, e.fid, &dit->second.fid, name, owner);
    if (e.isDir && e.wd >= 0) {
        m_world.Unwatch(e.wd);
        Forget(e.wd);
    }
}

void WatchTracker::Renamed(int fromWd, const std::string& fromName, int toWd, const std::string& toName)
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
            if (!gone.isDir && m_world.HsmExists(gone.fid)) flags |= kUnlinkHsmExists;
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
    const FileAttr owner = Owner(e.fid, from->second);
    Emit(RENME, flags, target, &to->second.fid, toName, owner, &e.fid, &from->second.fid, fromName);
}

void WatchTracker::Changed(int wd, const std::string& name, uint32_t mask)
{
    auto dit = m_dirs.find(wd);
    if (dit == m_dirs.end()) return;
    auto eit = dit->second.entries.find(name);
    if (eit == dit->second.entries.end()) return;
    const lu_fid fid = eit->second.fid;
    if (m_quiet.count(Key(fid))) return;
    FileAttr& was = m_attrs.emplace(Key(fid), Owner(fid, dit->second)).first->second;
    FileAttr now = was, seen;
    const bool exists = Stat(wd, name, seen);
    if (exists) now = seen;
    if (mask & IN_CLOSE_WRITE) {
        Emit(CLOSE, kOpenWrite, fid, nullptr, "", now);  // a close happened, whatever became of the file since
    } else if (!exists) {
        return;
    } else if (mask & IN_MODIFY) {
        if (now.size < was.size) Emit(TRUNC, 0, fid, nullptr, "", now);
    } else if (mask & IN_ATTRIB) {
        if ((now.mode & 07777) != (was.mode & 07777) || now.uid != was.uid || now.gid != was.gid)
            Emit(SATTR, 0, fid, nullptr, "", now);
        else if (now.mtimeNs != was.mtimeNs)
            Emit(MTIME, 0, fid, nullptr, "", now);
    }
    was = now;
}

void WatchTracker::Quiet(const lu_fid& fid) { m_quiet.insert(Key(fid)); }

void WatchTracker::Done(const lu_fid& fid)
{
    m_quiet.erase(Key(fid));
    for (const auto& [wd, d] : m_dirs)
        for (const auto& [name, e] : d.entries)
            if (Key(e.fid) == Key(fid)) {
                FileAttr a;
                if (Stat(wd, name, a)) m_attrs[Key(fid)] = a;
                return;
            }
}

void WatchTracker::HsmEnded(const lu_fid& fid, uint32_t flags, uid_t uid, gid_t gid)
{
    Done(fid);
    FileAttr owner;
    owner.uid = uid;
    owner.gid = gid;
    Emit(HSM, flags, fid, nullptr, "", owner);
}

void WatchTracker::OnEvent(std::vector<FileEvent>& events, size_t i)
{
    const FileEvent ev = events[i];  // a copy: handlers may read more events into the batch
    // An overflow comes with no watch (-1): look at it before the events
    // taken by their rename pair, which are marked so.
    if (ev.mask & IN_Q_OVERFLOW) {
        m_world.Log("events were lost (inotify queue overflow)");
        return;
    }
    if (ev.wd < 0) return;  // taken by its rename pair
    if (m_world.OwnEvent(ev)) return;
    if (ev.mask & IN_IGNORED) {
        auto it = m_dirs.find(ev.wd);
        if (it != m_dirs.end() && it->second.parent < 0) m_world.Log("a mount point went away");
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
        for (size_t j = i + 1; j < events.size() || (j == events.size() && m_world.MoreEvents(events)); ++j)
            if ((events[j].mask & IN_MOVED_TO) && events[j].cookie == ev.cookie) {
                const FileEvent to = events[j];
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

}  // namespace sim
