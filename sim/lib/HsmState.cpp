// llapi_hsm_state_get(_fd), llapi_hsm_state_set and llapi_hsm_current_action:
// the HSM flags the coordinator keeps for each file, and the action it has
// queued or handed to a copytool for it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "FidStore.h"
#include "HsmFile.h"
#include "HsmStore.h"
#include "Operations.h"
#include "SimState.h"
#include "UniqueFd.h"
#include "WatchSpool.h"

namespace sim::lib {
namespace {

// HSM_USER_MASK: what a user without CAP_SYS_ADMIN may set or clear.
constexpr unsigned long long kUserMask = HS_NORELEASE | HS_NOARCHIVE | HS_DIRTY;
// HSM_FLAGS_MASK: 0x7f up to 2.15; 2.16 adds the PCC bits 0x80 and 0x100.
constexpr unsigned long long kFlagsMask = 0x7f;
constexpr unsigned long long kFlagsMaskPcc = 0x1ff;

// The minor number of the imitated Lustre version ("2.15" gives 15).
int MinorVersion(const Config& config)
{
    const std::string& v = config.version;
    const size_t dot = v.find('.');
    unsigned long long minor = 0;
    if (dot == std::string::npos) return 15;
    const size_t end = v.find('.', dot + 1);
    if (!ParseU64(v.substr(dot + 1, end == std::string::npos ? std::string::npos : end - dot - 1), minor)) return 15;
    return static_cast<int>(minor);
}

// The regular file an HSM ioctl reaches: opened as llapi opens it, inside a
// mount, with its FID. Only regular files of Lustre answer these ioctls.
struct HsmTarget {
    Context ctx;
    Located loc;
    std::string path;  // resolved
    ObjectId id;
    lu_fid fid{};
};

// 0, or -errno; -ENOTTY for a file outside Lustre or one that is not a
// regular file (the ioctl falls through to a driver without it).
int TargetOfFd(int fd, HsmTarget& t)
{
    if (const int rc = LocateFd(fd, t.id, t.ctx, t.loc)) return rc;
    if (!t.loc.mount || !S_ISREG(t.id.mode)) return -ENOTTY;
    t.path = t.loc.rel.empty() ? t.loc.mountDir : t.loc.mountDir + "/" + t.loc.rel;
    // The ioctl is answered by the metadata server.
    WaitForServer(t.ctx, t.loc.mount->fs);
    return 0;
}

// As TargetOfFd, of path opened as llapi opens it; -errno of the open.
int OpenTarget(const char* path, int openFlags, HsmTarget& t, common::UniqueFd& fd)
{
    if (!path) return -EFAULT;
    fd.Reset(open(path, openFlags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.Valid()) return -errno;
    return TargetOfFd(fd.Get(), t);
}

// Attaches both stores (the caller runs a transaction) and finds the
// target's FID, giving it one when it has none yet.
int LoadStores(HsmTarget& t, FidStore& fids, HsmStore& hsm)
{
    if (!fids.Load(t.ctx) || !hsm.Load(t.ctx)) return -EIO;
    t.fid = fids.FidOf(t.ctx, t.loc, t.id);
    return fids.Save(t.ctx) ? 0 : -EIO;
}

unsigned UserAction(unsigned copytoolAction)
{
    switch (copytoolAction) {
    case HSMA_ARCHIVE:
        return HUA_ARCHIVE;
    case HSMA_RESTORE:
        return HUA_RESTORE;
    case HSMA_REMOVE:
        return HUA_REMOVE;
    case HSMA_CANCEL:
        return HUA_CANCEL;
    default:
        return HUA_NONE;
    }
}

// The MDT's consistency rules for a new set of flags.
bool Consistent(unsigned long long flags)
{
    if ((flags & HS_DIRTY) && !(flags & HS_EXISTS)) return false;
    if ((flags & HS_RELEASED) && ((flags & HS_DIRTY) || !(flags & HS_ARCHIVED))) return false;
    if ((flags & HS_LOST) && !(flags & HS_ARCHIVED)) return false;
    return true;
}

}  // namespace

int StateGet(const char* path, hsm_user_state* hus)
{
    if (!path) return -EFAULT;
    common::UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.Valid()) return -errno;
    return StateGetFd(fd.Get(), hus);
}

int StateGetFd(int fd, hsm_user_state* hus)
{
    HsmTarget t;
    if (const int rc = TargetOfFd(fd, t)) return rc;
    if (!hus) return -EFAULT;
    Transaction tx(*t.ctx.db);
    if (!tx.Begun()) return -EIO;
    FidStore fids;
    HsmStore hsm;
    if (const int rc = LoadStores(t, fids, hsm)) return rc;
    hsm_user_state state{};
    if (FileHsm* f = hsm.FindFile(t.loc.mount->fs, t.fid)) {
        RefreshDirty(*f, t.path);
        state.hus_states = f->flags;
        state.hus_archive_id = f->archiveId;
    }
    if (!hsm.Save(t.ctx) || !tx.Commit()) return -EIO;
    memcpy(hus, &state, sizeof state);
    return 0;
}

int StateSet(const char* path, unsigned long long setMask, unsigned long long clearMask, unsigned archiveId)
{
    HsmTarget t;
    common::UniqueFd fd;
    if (const int rc = OpenTarget(path, O_WRONLY, t, fd)) return rc;

    // The client's checks, then the MDT's, in their order.
    const int minor = MinorVersion(t.ctx.config);
    const unsigned long long both = setMask | clearMask;
    if (both & ~(minor >= 16 ? kFlagsMaskPcc : kFlagsMask)) return -EINVAL;
    if ((both & ~kUserMask) && geteuid() != 0) return -EPERM;
    if (archiveId > 32 && minor < 12) return -EINVAL;  // archive ids were a 32-bit mask

    Transaction tx(*t.ctx.db);
    if (!tx.Begun()) return -EIO;
    FidStore fids;
    HsmStore hsm;
    if (const int rc = LoadStores(t, fids, hsm)) return rc;
    FileHsm* existing = hsm.FindFile(t.loc.mount->fs, t.fid);
    FileHsm f = existing ? *existing : FileHsm{};
    RefreshDirty(f, t.path);
    const unsigned long long flags = (f.flags | setMask) & ~clearMask;
    if (!Consistent(flags)) return -EINVAL;
    // Lustre's quirk: an archive id for a file that does not exist in HSM
    // saves nothing and succeeds.
    if (archiveId > 0 && !(flags & HS_EXISTS)) return tx.Commit() ? 0 : -EIO;

    const bool wasClean = (f.flags & HS_ARCHIVED) && !(f.flags & HS_DIRTY);
    FileHsm& stored = hsm.File(t.loc.mount->fs, t.fid);
    stored.flags = static_cast<unsigned>(flags);
    if (archiveId > 0) stored.archiveId = archiveId;
    // The data as it is now counts as the archived data when the caller
    // declares the file clean and archived: a later change makes it dirty.
    struct stat st;
    if ((flags & HS_ARCHIVED) && !(flags & HS_DIRTY) && !wasClean && fstat(fd.Get(), &st) == 0) {
        stored.mtimeNs = MtimeNs(st);
        stored.size = st.st_size;
    }
    if (!hsm.Save(t.ctx) || !tx.Commit()) return -EIO;
    // The MDT records every state change (HE_STATE), dirty or not.
    PostWatchNotice(t.ctx.stateDir, t.loc.mount->fs,
                    HsmNotice(t.fid, HsmRecordFlags(HE_STATE, 0, (flags & HS_DIRTY) != 0), getuid(), getgid()));
    return 0;
}

int CurrentAction(const char* path, hsm_current_action* hca)
{
    HsmTarget t;
    common::UniqueFd fd;
    if (const int rc = OpenTarget(path, O_RDONLY, t, fd)) return rc;
    if (!hca) return -EFAULT;
    Transaction tx(*t.ctx.db);
    if (!tx.Begun()) return -EIO;
    FidStore fids;
    HsmStore hsm;
    if (const int rc = LoadStores(t, fids, hsm)) return rc;

    // Lustre 2.10 reports "no request" as a waiting NOOP, later versions as
    // HPS_NONE. A done action is never reported.
    hsm_current_action current{};
    current.hca_action = HUA_NONE;
    current.hca_state = MinorVersion(t.ctx.config) < 12 ? HPS_WAITING : HPS_NONE;
    for (const Action* action : hsm.ActionsOf(t.loc.mount->fs, t.fid)) {
        const Action& a = *action;
        current.hca_action = UserAction(a.action);
        if (a.started) {
            current.hca_state = HPS_RUNNING;
            current.hca_location.offset = a.copiedOffset;
            current.hca_location.length = a.copiedLength;
        } else {
            current.hca_state = HPS_WAITING;
            current.hca_location.offset = a.extentOffset;
            current.hca_location.length = a.extentLength;
        }
        break;
    }
    // The FID may be new.
    if (!tx.Commit()) return -EIO;
    memcpy(hca, &current, sizeof current);
    return 0;
}

}  // namespace sim::lib
