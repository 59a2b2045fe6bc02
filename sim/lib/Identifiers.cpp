// llapi_path2fid, llapi_fd2fid, llapi_fid2path, llapi_search_fsname and
// llapi_get_mdt_index_by_fid over the stand-in's mounts.
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FidStore.h"
#include "FidText.h"
#include "Message.h"
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
    Transaction tx(*ctx.db);
    FidStore store;
    if (!tx.Begun() || !store.Load(ctx)) return -EIO;
    const lu_fid found = store.FidOf(ctx, loc, id);
    if (!store.Save(ctx) || !tx.Commit()) return -EIO;
    fid = found;
    return 0;
}

// A client-only liblustreapi cannot read the FID of a file outside Lustre:
// it clears the FID and answers -EOPNOTSUPP.
int NotOnLustre(lu_fid& fid)
{
    fid = lu_fid{};
    return -EOPNOTSUPP;
}

// The device holding path, or its nearest existing ancestor; 0 when none.
dev_t DeviceOf(const char* path)
{
    std::string p = path;
    struct stat st {};
    while (stat(p.empty() ? "." : p.c_str(), &st) != 0) {
        if (p.empty() || p == "/") return 0;
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        const size_t slash = p.find_last_of('/');
        p = slash == std::string::npos ? "" : slash == 0 ? "/" : p.substr(0, slash);
    }
    return st.st_dev;
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
    if (!loc.mount) return NotOnLustre(*fid);
    return FidAt(ctx, loc, id, *fid);
}

int Fd2Fid(int fd, lu_fid* fid)
{
    if (!fid) return -EINVAL;
    ObjectId id;
    Context ctx;
    Located loc;
    if (const int rc = LocateFd(fd, id, ctx, loc)) return rc;
    if (!loc.mount) return NotOnLustre(*fid);
    return FidAt(ctx, loc, id, *fid);
}

int Fid2Path(const char* device, const char* fidstr, char* path, int pathlen, long long* recno, int* linkno)
{
    // The device is looked up before the FID text is read: on anything but
    // a Lustre device even garbage gives -ENODEV, without a message.
    if (!device) return -EINVAL;
    Context ctx;
    const Mount* mount = LoadContext(ctx) ? FindDevice(ctx.config, device) : nullptr;
    if (!mount) return -ENODEV;
    lu_fid fid{};
    int rc = ParseFid(fidstr, fid);
    if (rc < 0) {
        PrintMessage("bad FID format '%s', should be [seq:oid:ver] (e.g. [0x200000400:0x2:0x0])\n",
                     fidstr ? fidstr : "(null)");
        return rc;
    }
    if (!path || pathlen > PATH_MAX) return -EINVAL;
    if (!FidInNamespace(fid)) return -EINVAL;

    std::vector<std::string> rels;
    {
        Transaction tx(*ctx.db);
        FidStore store;
        if (!tx.Begun() || !store.Load(ctx)) return -EIO;
        Located root = Locate(ctx.config, mount->dir);
        rc = store.PathsOf(*mount, root.mountDir, fid, rels);
        if (!store.Save(ctx)) return -EIO;
        if (rc != 0) return rc;
        if (!tx.Commit()) return -EIO;
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
        // 2.15.3 and later name the path's device by its numbers.
        const dev_t dev = DeviceOf(pathname);
        PrintMessage("'%u/%u' dev not on a mounted Lustre filesystem\n", major(dev), minor(dev));
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
    if (!loc.mount) return -ENOTTY;  // the ioctl is Lustre's alone
    if (!FidIsSane(*fid)) return -EINVAL;
    int mdt = MdtOfFid(*fid, MdtCount(ctx.config, loc.mount->fs));
    if (mdt < 0) return -ENOENT;  // no MDT serves the sequence
    *mdtIndex = mdt;
    return mdt;
}

}  // namespace sim::lib
