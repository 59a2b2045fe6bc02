#include "FidStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

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

std::string Hex(unsigned long long v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%llx", v);
    return buf;
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

bool FidStore::Load(const Context& ctx)
{
    m_entries.clear();
    m_next.clear();
    m_dirty = false;
    std::vector<std::string> lines;
    if (!ReadLines(ctx.libDir + "/fids", lines)) return false;
    for (const auto& line : lines) {
        std::vector<std::string> w = Split(line);
        unsigned long long seq, oid, mdt, dev, ino, btime;
        if (w.size() == 5 && w[0] == "next" && ParseU64(w[2], mdt) && ParseU64(w[3], seq, 16) && ParseU64(w[4], oid)) {
            Next n;
            n.fs = w[1];
            n.mdt = static_cast<int>(mdt);
            n.fid = {seq, static_cast<unsigned>(oid), 0};
            m_next.push_back(n);
        } else if (w.size() == 8 && w[0] == "fid" && ParseU64(w[2], seq, 16) && ParseU64(w[3], oid) &&
                   ParseU64(w[4], dev) && ParseU64(w[5], ino) && ParseU64(w[6], btime)) {
            Entry e;
            e.fs = w[1];
            e.fid = {seq, static_cast<unsigned>(oid), 0};
            e.id.dev = dev;
            e.id.ino = ino;
            e.id.btime = btime;
            if (!DecodeWord(w[7], e.rel)) return false;
            m_entries.push_back(e);
        } else {
            return false;
        }
    }
    return true;
}

bool FidStore::Save(const Context& ctx)
{
    if (!m_dirty) return true;
    std::vector<std::string> lines;
    for (const auto& n : m_next)
        lines.push_back("next " + n.fs + " " + std::to_string(n.mdt) + " " + Hex(n.fid.f_seq) + " " +
                        std::to_string(n.fid.f_oid));
    for (const auto& e : m_entries)
        lines.push_back("fid " + e.fs + " " + Hex(e.fid.f_seq) + " " + std::to_string(e.fid.f_oid) + " " +
                        std::to_string(e.id.dev) + " " + std::to_string(e.id.ino) + " " + std::to_string(e.id.btime) +
                        " " + EncodeWord(e.rel));
    if (!WriteLines(ctx.libDir + "/fids", lines)) return false;
    m_dirty = false;
    return true;
}

lu_fid FidStore::Allocate(const std::string& fs, int mdt)
{
    auto it = std::find_if(m_next.begin(), m_next.end(), [&](const Next& n) { return n.fs == fs && n.mdt == mdt; });
    if (it == m_next.end()) {
        Next n;
        n.fs = fs;
        n.mdt = mdt;
        n.fid = {kSeqNormal + (static_cast<unsigned long long>(mdt) << kMdtSeqShift), 1, 0};
        m_next.push_back(n);
        it = m_next.end() - 1;
    }
    lu_fid fid = it->fid;
    if (++it->fid.f_oid > kOidsPerSeq) {
        ++it->fid.f_seq;
        it->fid.f_oid = 1;
    }
    m_dirty = true;
    return fid;
}

lu_fid FidStore::FidOf(const Context& ctx, const Located& loc, const ObjectId& id)
{
    if (loc.rel.empty()) return {kSeqRoot, 1, 0};
    const std::string& fs = loc.mount->fs;
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->fs != fs || it->id.dev != id.dev || it->id.ino != id.ino) continue;
        if (it->id.btime != 0 && id.btime != 0 && it->id.btime != id.btime) {
            // The inode was reused by a new object: the old FID is gone.
            m_entries.erase(it);
            m_dirty = true;
            break;
        }
        if (it->rel != loc.rel) {
            it->rel = loc.rel;
            m_dirty = true;
        }
        return it->fid;
    }
    Entry e;
    e.fs = fs;
    e.fid = Allocate(fs, MdtForNewObject(loc.rel, S_ISDIR(id.mode), MdtCount(ctx.config, fs)));
    e.id = id;
    e.rel = loc.rel;
    m_entries.push_back(e);
    m_dirty = true;
    return e.fid;
}

bool FidStore::FidOfPath(const std::string& fs, const std::string& rel, lu_fid& fid) const
{
    for (const auto& e : m_entries)
        if (e.fs == fs && e.rel == rel) {
            fid = e.fid;
            return true;
        }
    return false;
}

FidStore::Entry* FidStore::FindEntry(const std::string& fs, const lu_fid& fid)
{
    for (auto& e : m_entries)
        if (e.fs == fs && e.fid.f_seq == fid.f_seq && e.fid.f_oid == fid.f_oid && e.fid.f_ver == fid.f_ver) return &e;
    return nullptr;
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
    Entry* e = FindEntry(mount.fs, fid);
    if (!e) return -ENOENT;
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
    if (e->rel != rels.front()) {
        e->rel = rels.front();
        m_dirty = true;
    }
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
