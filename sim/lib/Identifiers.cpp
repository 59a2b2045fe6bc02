// llapi_path2fid, llapi_fd2fid, llapi_fid2path, llapi_search_fsname,
// llapi_get_mdt_index_by_fid and llapi_file_fget_mdtidx over the stand-in's
// mounts.
#include <libgen.h>
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

// What llapi_search_fsname looks at: path itself when it exists (through a
// final symlink), else the directory of path or of a dangling symlink's
// target, and no further. Returns 0 or -errno of the last stat.
int ExistingPath(const char* path, std::string& found, dev_t& dev)
{
    struct stat st {};
    if (stat(path, &st) == 0) {
        found = path;
        dev = st.st_dev;
        return 0;
    }
    char target[PATH_MAX];
    const ssize_t n = readlink(path, target, sizeof target - 1);
    std::string p = n >= 0 ? std::string(target, static_cast<size_t>(n)) : std::string(path);
    std::vector<char> buf(p.begin(), p.end());
    buf.push_back('\0');
    found = dirname(buf.data());
    if (stat(found.c_str(), &st) != 0) return -errno;
    dev = st.st_dev;
    return 0;
}

// The path of fid below mount ("/" for the root) for link number link, and
// the link number to ask for next. The MDT clamps the link number to the
// last link and, when there are more links after the one returned, hands
// back the next number.
int PathOfFid(const Context& ctx, const Mount& mount, const lu_fid& fid, int link, std::string& answer, int& nextLink)
{
    if (!FidInNamespace(fid)) return -EINVAL;
    std::vector<std::string> rels;
    {
        Transaction tx(*ctx.db);
        FidStore store;
        if (!tx.Begun() || !store.Load(ctx)) return -EIO;
        Located root = Locate(ctx.config, mount.dir);
        const int rc = store.PathsOf(mount, root.mountDir, fid, rels);
        if (!store.Save(ctx)) return -EIO;
        if (rc != 0) return rc;
        if (!tx.Commit()) return -EIO;
    }
    size_t n = static_cast<unsigned>(link);  // a negative number asks past the last link
    if (n >= rels.size()) n = rels.size() - 1;
    answer = rels[n].empty() ? "/" : rels[n];
    nextLink = static_cast<int>(n + 1 < rels.size() ? n + 1 : n);
    return 0;
}

}  // namespace

int LocateFd(int fd, ObjectId& id, Context& ctx, Located& loc)
{
    const int rc = StatFd(fd, id);
    if (rc != 0) return rc;
    std::string path;
    if (FdPath(fd, path) && LoadContext(ctx)) loc = Locate(ctx.config, path);
    return 0;
}

int FileFgetMdtidx(int fd, int* mdtIndex)
{
    ObjectId id;
    Context ctx;
    Located loc;
    if (const int rc = LocateFd(fd, id, ctx, loc)) return rc;
    if (!loc.mount) return -ENOTTY;  // the ioctl is Lustre's alone
    if (!mdtIndex) return -EFAULT;
    lu_fid fid;
    if (const int rc = FidAt(ctx, loc, id, fid)) return rc;
    const int mdt = MdtOfFid(fid, MdtCount(ctx.config, loc.mount->fs));
    if (mdt < 0) return -ENOENT;
    *mdtIndex = mdt;
    return 0;
}

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
    // The path comes from the metadata server.
    WaitForServer(ctx, mount->fs);
    std::string answer;
    int nextLink;
    rc = PathOfFid(ctx, *mount, fid, linkno ? *linkno : 0, answer, nextLink);
    if (rc != 0) return rc;
    if (pathlen < 3 || answer.size() + 1 > static_cast<size_t>(pathlen)) return -EOVERFLOW;
    memcpy(path, answer.c_str(), answer.size() + 1);
    if (linkno) *linkno = nextLink;
    (void)recno;  // without a changelog history every record number names the current path
    return 0;
}

int Fid2PathAt(int mntFd, const lu_fid* fid, char* path, int pathlen, long long* recno, int* linkno)
{
    ObjectId id;
    Context ctx;
    Located loc;
    if (const int rc = LocateFd(mntFd, id, ctx, loc)) return rc;
    if (!loc.mount) return -ENOTTY;  // the ioctl is Lustre's alone
    if (!fid || !path || pathlen > PATH_MAX) return -EINVAL;
    std::string answer;
    int nextLink;
    if (const int rc = PathOfFid(ctx, *loc.mount, *fid, linkno ? *linkno : 0, answer, nextLink)) return rc;
    // The link number (and the record number) come back even when the path
    // does not fit.
    if (linkno) *linkno = nextLink;
    (void)recno;
    if (answer.size() + 1 > static_cast<size_t>(pathlen < 0 ? 0 : pathlen)) return -ERANGE;
    memcpy(path, answer.c_str(), answer.size() + 1);
    return 0;
}

int SearchFsname(const char* pathname, char* fsname)
{
    if (!pathname || !fsname) return -EINVAL;
    std::string existing;
    dev_t dev = 0;
    if (const int rc = ExistingPath(pathname, existing, dev)) {
        PrintError(rc, "cannot resolve path '%s'", pathname);
        return rc;
    }
    Context ctx;
    Located loc;
    // The device decides, as in Lustre: a symlink counts where it leads.
    char real[PATH_MAX];
    if (LoadContext(ctx)) loc = Locate(ctx.config, realpath(existing.c_str(), real) ? real : existing.c_str());
    if (!loc.mount) {
        // 2.15.3 and later name the path's device by its numbers.
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
