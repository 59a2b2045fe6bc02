// llapi_hsm_import: a released file whose data is already in an archive,
// made from a stat record, as the client makes it (create with the layout
// delayed, then the import ioctl sets the HSM state and the attributes).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "HsmStore.h"
#include "Message.h"
#include "Operations.h"
#include "SimState.h"
#include "UniqueFd.h"
#include "WatchSpool.h"

namespace sim::lib {
namespace {

// The import ioctl: attributes from st, then the state EXISTS|ARCHIVED|
// RELEASED in archive. The data stays in the archive: the file reads as
// zeros up to its size.
int Import(int fd, const Context& ctx, const std::string& fs, const lu_fid& fid, unsigned archive,
           const struct stat& st)
{
    if (!S_ISREG(st.st_mode)) return -EINVAL;
    if (fchmod(fd, st.st_mode & 07777) != 0) return -errno;
    struct stat now;
    if (fstat(fd, &now) != 0) return -errno;
    if ((now.st_uid != st.st_uid || now.st_gid != st.st_gid) && fchown(fd, st.st_uid, st.st_gid) != 0) return -errno;
    if (ftruncate(fd, st.st_size) != 0) return -errno;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(fd, times) != 0) return -errno;

    Transaction tx(*ctx.db);
    HsmStore hsm;
    if (!tx.Begun() || !hsm.Load(ctx)) return -EIO;
    FileHsm& f = hsm.File(fs, fid);
    f.flags = HS_EXISTS | HS_ARCHIVED | HS_RELEASED;
    f.archiveId = archive;
    f.mtimeNs = MtimeNs(st);
    f.size = st.st_size;
    return hsm.Save(ctx) && tx.Commit() ? 0 : -EIO;
}

}  // namespace

int HsmImport(const char* dst, int archive, const struct stat* st, int stripePattern, lu_fid* newfid)
{
    if (!dst || !st || !newfid) return -EINVAL;
    (void)stripePattern;  // a released layout of any pattern: the stand-in's files have none
    const int fd = open(dst, O_CREAT | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, st->st_mode & 07777);
    if (fd < 0) {
        const int rc = -errno;
        PrintError(rc, "unable to open '%s'", dst);
        PrintError(rc, "cannot create '%s' for import", dst);
        return rc;
    }
    common::UniqueFd file(fd);
    Context ctx;
    Located loc;
    char real[PATH_MAX];
    if (LoadContext(ctx) && realpath(dst, real)) loc = Locate(ctx.config, real);
    struct stat now;
    int rc = fstat(fd, &now) != 0 ? -errno : 0;
    // Setting the layout is what fails: off Lustre the ioctl is unknown (the
    // empty file stays), and a file with data already has one.
    if (rc == 0 && !loc.mount) rc = -ENOTTY;
    if (rc == 0 && now.st_size != 0) rc = -EEXIST;
    if (rc != 0) {
        PrintMessage("setstripe error for '%s': %s\n", dst, rc == -EEXIST ? "stripe already set" : strerror(-rc));
        PrintError(rc, "cannot create '%s' for import", dst);
        return rc;
    }
    if ((rc = Fd2Fid(fd, newfid)) != 0) {
        PrintError(rc, "cannot get fid of '%s' for import", dst);
        unlink(dst);
        return rc;
    }
    PostWatchNotice(ctx.stateDir, loc.mount->fs, QuietNotice(*newfid, true));
    rc = Import(fd, ctx, loc.mount->fs, *newfid, static_cast<unsigned>(archive), *st);
    PostWatchNotice(ctx.stateDir, loc.mount->fs,
                    rc == 0 ? HsmNotice(*newfid, HsmRecordFlags(HE_STATE, 0, false), getuid(), getgid())
                            : QuietNotice(*newfid, false));
    if (rc != 0) {
        PrintError(rc, "cannot import '%s'", dst);
        unlink(dst);
    }
    return rc;
}

}  // namespace sim::lib
