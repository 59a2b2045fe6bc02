// llapi_path2fid, llapi_fd2fid, llapi_fid2path, llapi_search_fsname and
// llapi_get_mdt_index_by_fid over the stand-in's mounts.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FidStore.h"
#include "FidText.h"
#include "Operations.h"
#include "SimState.h"

namespace sim::lib {
namespace {

// The path an open descriptor refers to, without the " (deleted)" mark.
bool FdPath(int fd, std::string& path)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char buf[PATH_MAX];
    ssize_t n = readlink(link, buf, sizeof buf - 1);
    if (n <= 0) return false;
    path.assign(buf, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path[0] == '/';
}

// The object behind fd and where it lies; loc.mount stays null outside
// every mount. Fails only when fd is no open descriptor.
int LocateFd(int fd, ObjectId& id, Context& ctx, Located& loc)
{
    const int rc = StatFd(fd, id);
    if (rc != 0) return rc;
    std::string path;
    if (FdPath(fd, path) && LoadContext(ctx)) loc = Locate(ctx.config, path);
    return 0;
}

// The FID of an existing object at loc (inside a mount).
int FidAt(const Context& ctx, const Located& loc, const ObjectId& id, lu_fid& fid)
{
    StateLock lock(ctx.libDir);
    if (!lock.Locked()) return -EIO;
    FidStore store;
    if (!store.Load(ctx)) return -EIO;
    fid = store.FidOf(ctx, loc, id);
    return store.Save(ctx) ? 0 : -EIO;
}

}  // namespace

int Path2Fid(const char* path, lu_fid* fid)
{
    if (!path || !fid) return -EINVAL;
    ObjectId id;
    int rc = StatPath(path, id);
    if (rc != 0) return rc;
    Context ctx;
    Located loc;
    if (LoadContext(ctx)) loc = Locate(ctx.config, path);
    if (!loc.mount) return -ENODATA;  // no trusted.lma on a file outside Lustre
    return FidAt(ctx, loc, id, *fid);
}

int Fd2Fid(int fd, lu_fid* fid)
{
    if (!fid) return -EINVAL;
    ObjectId id;
    Context ctx;
    Located loc;
    if (const int rc = LocateFd(fd, id, ctx, loc)) return rc;
    if (!loc.mount) return -ENODATA;
    return FidAt(ctx, loc, id, *fid);
}

int Fid2Path(const char* device, const char* fidstr, char* path, int pathlen, long long* recno, int* linkno)
{
    lu_fid fid{};
    int rc = ParseFid(fidstr, fid);
    if (rc < 0) {
        fprintf(stderr, "bad FID format '%s', should be [seq:oid:ver] (e.g. [0x200000400:0x2:0x0])\n",
                fidstr ? fidstr : "(null)");
        return rc;
    }
    if (!device || !path || pathlen > PATH_MAX) return -EINVAL;
    Context ctx;
    const Mount* mount = LoadContext(ctx) ? FindDevice(ctx.config, device) : nullptr;
    if (!mount) return -ENODEV;
    if (!FidInNamespace(fid)) return -EINVAL;

    std::vector<std::string> rels;
    {
        StateLock lock(ctx.libDir);
        if (!lock.Locked()) return -EIO;
        FidStore store;
        if (!store.Load(ctx)) return -EIO;
        Located root = Locate(ctx.config, mount->dir);
        rc = store.PathsOf(*mount, root.mountDir, fid, rels);
        if (rc != 0) return rc;
        if (!store.Save(ctx)) return -EIO;
    }

    // The MDT clamps the link number to the last link and, when there are
    // more links after the one returned, hands back the next number.
    unsigned link = linkno ? static_cast<unsigned>(*linkno) : 0;
    if (link >= rels.size()) link = static_cast<unsigned>(rels.size() - 1);
    const std::string& rel = rels[link];
    const std::string answer = rel.empty() ? "/" : rel;
    if (pathlen < 3 || answer.size() + 1 > static_cast<size_t>(pathlen)) return -EOVERFLOW;
    memcpy(path, answer.c_str(), answer.size() + 1);
    if (linkno) *linkno = static_cast<int>(link + 1 < rels.size() ? link + 1 : link);
    (void)recno;  // without a changelog history every record number names the current path
    return 0;
}

int SearchFsname(const char* pathname, char* fsname)
{
    if (!pathname || !fsname) return -EINVAL;
    Context ctx;
    Located loc;
    if (LoadContext(ctx)) loc = Locate(ctx.config, pathname);
    if (!loc.mount) {
        fprintf(stderr, "'%s' not on a mounted Lustre filesystem\n", pathname);
        return -ENODEV;
    }
    if (loc.mount->fs.size() > LUSTRE_MAXFSNAME) return -ENAMETOOLONG;
    memcpy(fsname, loc.mount->fs.c_str(), loc.mount->fs.size() + 1);
    return 0;
}

int GetMdtIndexByFid(int fd, const lu_fid* fid, int* mdtIndex)
{
    if (!fid || !mdtIndex) return -EINVAL;
    ObjectId id;
    Context ctx;
    Located loc;
    if (const int rc = LocateFd(fd, id, ctx, loc)) return rc;
    if (!loc.mount) return -ENODEV;
    if (!FidIsSane(*fid)) return -EINVAL;
    int mdt = MdtOfFid(*fid, MdtCount(ctx.config, loc.mount->fs));
    if (mdt < 0) return -ENOENT;  // no MDT serves the sequence
    *mdtIndex = mdt;
    return mdt;
}

}  // namespace sim::lib
