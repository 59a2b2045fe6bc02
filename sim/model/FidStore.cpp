#include "FidStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "FidText.h"

namespace sim::lib {
namespace {

ObjectId FromStatx(const struct statx& sx)
{
    ObjectId id;
    id.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    id.ino = sx.stx_ino;
    id.mode = sx.stx_mode;
    id.nlink = sx.stx_nlink;
    if (sx.stx_mask & STATX_BTIME)
        id.btime = static_cast<unsigned long long>(sx.stx_btime.tv_sec) * 1000000000ULL + sx.stx_btime.tv_nsec;
    return id;
}

std::string Join(const std::string& dir, const std::string& rel)
{
    if (rel.empty()) return dir;
    return dir == "/" ? "/" + rel : dir + "/" + rel;
}

}  // namespace

int StatPath(const std::string& path, ObjectId& id)
{
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return -errno;
    id = FromStatx(sx);
    return 0;
}

int StatFd(int fd, ObjectId& id)
{
    struct statx sx;
    if (fd < 0) return -EBADF;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return -errno;
    id = FromStatx(sx);
    return 0;
}

int MdtForNewObject(const std::string& rel, bool isDir, int mdtCount)
{
    size_t slash = rel.find('/');
    if (mdtCount <= 1 || (slash == std::string::npos && !isDir)) return 0;
    const std::string top = rel.substr(0, slash);
    unsigned hash = 2166136261u;  // FNV-1a
    for (unsigned char c : top) hash = (hash ^ c) * 16777619u;
    return static_cast<int>(hash % static_cast<unsigned>(mdtCount));
}

int MdtOfFid(const lu_fid& fid, int mdtCount)
{
    if (fid.f_seq >= kSeqStart && fid.f_seq < kSeqNormal) return 0;  // reserved sequences live on MDT0000
    if (fid.f_seq < kSeqNormal) return -1;
    unsigned long long mdt = (fid.f_seq - kSeqNormal) >> kMdtSeqShift;
    return mdt < static_cast<unsigned long long>(mdtCount) ? static_cast<int>(mdt) : -1;
}

lu_fid FidStore::Allocate(const std::string& fs, int mdt)
{
    lu_fid fid{kSeqNormal + (static_cast<unsigned long long>(mdt) << kMdtSeqShift), 1, 0};
    {
        Query q(*m_db, "SELECT seq, oid FROM fid_next WHERE fs = ?1 AND mdt = ?2");
        q.Bind(1, fs).Bind(2, mdt);
        if (q.Step()) fid = {q.U(0), static_cast<unsigned>(q.Int(1)), 0};
    }
    lu_fid next = fid;
    if (++next.f_oid > kOidsPerSeq) {
        ++next.f_seq;
        next.f_oid = 1;
    }
    Query(*m_db, "INSERT OR REPLACE INTO fid_next(fs, mdt, seq, oid) VALUES(?1, ?2, ?3, ?4)")
        .Bind(1, fs)
        .Bind(2, mdt)
        .BindU(3, next.f_seq)
        .Bind(4, next.f_oid)
        .Run();
    return fid;
}

void FidStore::SetPath(const std::string& fs, const lu_fid& fid, const std::string& rel)
{
    Query(*m_db, "UPDATE fid SET rel = ?4 WHERE fs = ?1 AND seq = ?2 AND oid = ?3")
        .Bind(1, fs)
        .BindU(2, fid.f_seq)
        .Bind(3, fid.f_oid)
        .Bind(4, rel)
        .Run();
}

lu_fid FidStore::FidOf(const Context& ctx, const Located& loc, const ObjectId& id)
{
    if (loc.rel.empty()) return {kSeqRoot, 1, 0};
    const std::string& fs = loc.mount->fs;
    std::optional<Entry> known;
    {
        Query q(*m_db, "SELECT seq, oid, btime, rel FROM fid WHERE fs = ?1 AND dev = ?2 AND ino = ?3");
        q.Bind(1, fs).BindU(2, id.dev).BindU(3, id.ino);
        if (q.Step()) {
            known = Entry{{q.U(0), static_cast<unsigned>(q.Int(1)), 0}, id, q.Text(3)};
            known->id.btime = q.U(2);
        }
    }
    if (known && known->id.btime != 0 && id.btime != 0 && known->id.btime != id.btime) {
        // The inode was reused by a new object: the old FID is gone.
        Query(*m_db, "DELETE FROM fid WHERE fs = ?1 AND seq = ?2 AND oid = ?3")
            .Bind(1, fs)
            .BindU(2, known->fid.f_seq)
            .Bind(3, known->fid.f_oid)
            .Run();
        known.reset();
    }
    if (known) {
        if (known->rel != loc.rel) SetPath(fs, known->fid, loc.rel);
        return known->fid;
    }
    const lu_fid fid = Allocate(fs, MdtForNewObject(loc.rel, S_ISDIR(id.mode), MdtCount(ctx.config, fs)));
    Query(*m_db, "INSERT INTO fid(fs, seq, oid, dev, ino, btime, rel) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)")
        .Bind(1, fs)
        .BindU(2, fid.f_seq)
        .Bind(3, fid.f_oid)
        .BindU(4, id.dev)
        .BindU(5, id.ino)
        .BindU(6, id.btime)
        .Bind(7, loc.rel)
        .Run();
    return fid;
}

bool FidStore::FidOfPath(const std::string& fs, const std::string& rel, lu_fid& fid) const
{
    Query q(*m_db, "SELECT seq, oid FROM fid WHERE fs = ?1 AND rel = ?2 LIMIT 1");
    q.Bind(1, fs).Bind(2, rel);
    if (!q.Step()) return false;
    fid = {q.U(0), static_cast<unsigned>(q.Int(1)), 0};
    return true;
}

bool FidStore::FindEntry(const std::string& fs, const lu_fid& fid, Entry& e)
{
    if (fid.f_ver != 0) return false;  // versions are never given out
    Query q(*m_db, "SELECT dev, ino, btime, rel FROM fid WHERE fs = ?1 AND seq = ?2 AND oid = ?3");
    q.Bind(1, fs).BindU(2, fid.f_seq).Bind(3, fid.f_oid);
    if (!q.Step()) return false;
    e.fid = fid;
    e.id.dev = q.U(0);
    e.id.ino = q.U(1);
    e.id.btime = q.U(2);
    e.rel = q.Text(3);
    return true;
}

int FidStore::PathsOf(const Mount& mount, const std::string& mountDir, const lu_fid& fid,
                      std::vector<std::string>& rels)
{
    rels.clear();
    if (FidIsRoot(fid)) {
        ObjectId root;
        if (StatPath(mountDir, root) != 0) return -ENOENT;
        rels.push_back("");
        return 0;
    }
    Entry entry;
    if (!FindEntry(mount.fs, fid, entry)) return -ENOENT;
    const Entry* e = &entry;
    ObjectId cur;
    if (!e->rel.empty() && StatPath(Join(mountDir, e->rel), cur) == 0 && e->id.Same(cur) &&
        (cur.nlink <= 1 || S_ISDIR(cur.mode))) {
        rels.push_back(e->rel);
        return 0;
    }
    // Moved, or hard-linked: search the mount. Directories are not followed
    // through symlinks, and unreadable parts are skipped.
    namespace fsys = std::filesystem;
    std::error_code ec;
    fsys::recursive_directory_iterator it(mountDir, fsys::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fsys::recursive_directory_iterator(); it.increment(ec)) {
        const std::string p = it->path().string();
        if (StatPath(p, cur) == 0 && e->id.Same(cur))
            rels.push_back(p.substr(mountDir == "/" ? 1 : mountDir.size() + 1));
    }
    if (rels.empty()) return -ENOENT;
    std::sort(rels.begin(), rels.end());
    if (e->rel != rels.front()) SetPath(mount.fs, fid, rels.front());
    return 0;
}

int FidStore::Find(const Mount& mount, const std::string& mountDir, const lu_fid& fid, std::string& rel, ObjectId& id)
{
    std::vector<std::string> rels;
    int rc = PathsOf(mount, mountDir, fid, rels);
    if (rc != 0) return rc;
    rel = rels.front();
    return StatPath(Join(mountDir, rel), id);
}

}  // namespace sim::lib
