// Copy actions: what a copytool does between receiving an action and
// reporting its end.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "Copytool.h"
#include "EventFifo.h"
#include "FidStore.h"
#include "HsmFile.h"
#include "HsmStore.h"
#include "Operations.h"
#include "SimState.h"
#include "UniqueFd.h"
#include "WatchSpool.h"

struct hsm_copyaction_private {
    struct {
        unsigned hai_action;
        lu_fid hai_fid;
        lu_fid hai_dfid;
        unsigned long long hai_cookie;
    } hai{};  // the parts of the received item the action works on
    sim::lib::CopytoolInfo ct;
    bool isError = false;
    common::UniqueFd source;  // ARCHIVE: the file, read-only
    common::UniqueFd data;    // RESTORE: the volatile file the copytool fills
    lu_fid volatileFid{};
    long long mtimeNs = 0;  // ARCHIVE: the file when the copy began
    long long size = 0;
    unsigned long long copied = 0;  // bytes reported by progress
    std::string lustrePath;         // of hai_dfid at the start, for the event FIFO
};

namespace sim::lib {
namespace {

struct Registry {
    std::mutex mutex;
    std::set<const hsm_copyaction_private*> live;
};

Registry& Actions()
{
    static Registry* registry = new Registry;  // lives as long as the process
    return *registry;
}

std::string Join(const std::string& dir, const std::string& rel)
{
    if (rel.empty()) return dir;
    return dir == "/" ? "/" + rel : dir + "/" + rel;
}

// An anonymous file in the state directory: the restored data until end()
// puts it in place.
int OpenVolatile(const Context& ctx, common::UniqueFd& fd)
{
    fd.Reset(open(ctx.libDir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd.Valid()) return 0;
    std::string name = ctx.libDir + "/volatile.XXXXXX";
    fd.Reset(mkostemp(name.data(), O_CLOEXEC));
    if (!fd.Valid()) return -errno;
    unlink(name.c_str());
    return 0;
}

const Mount* MountOf(const Context& ctx, const CopytoolInfo& ct)
{
    Located loc = Locate(ctx.config, ct.mountDir);
    return loc.rel.empty() ? loc.mount : nullptr;
}

// The copytool's mount and the HSM and FID stores, in a transaction that
// lasts for the object's life: Commit keeps what was changed, anything else
// drops it.
struct LockedState {
    Context ctx;
    const Mount* mount = nullptr;
    std::unique_ptr<Transaction> tx;
    HsmStore hsm;
    FidStore fids;

    // 0; -ENODEV when there is no state or the copytool's mount is gone;
    // -EIO when the store cannot be written or read.
    int Open(const CopytoolInfo& ct)
    {
        if (!LoadContext(ctx)) return -ENODEV;
        mount = MountOf(ctx, ct);
        if (!mount) return -ENODEV;
        tx = std::make_unique<Transaction>(*ctx.db);
        if (!tx->Begun()) return -EIO;
        if (!hsm.Load(ctx) || !fids.Load(ctx)) return -EIO;
        return 0;
    }
    // Writes both stores back and commits: false on any failure.
    [[nodiscard]] bool Commit() { return hsm.Save(ctx) && fids.Save(ctx) && tx->Commit(); }
};

// "<ACTION>_<phase>", as the event FIFO names copy-action events.
std::string EventType(unsigned action, const char* phase)
{
    return std::string(hsm_copytool_action2name(static_cast<hsm_copytool_action>(action))) + "_" + phase;
}

void LogProgress(const hsm_copyaction_private& hcp, const char* phase, unsigned long long total,
                 const unsigned long long* current)
{
    JsonEvent event(EventType(hcp.hai.hai_action, phase));
    if (current) event.Num("current_bytes", static_cast<long long>(*current));
    event.Num("total_bytes", static_cast<long long>(total))
        .Str("lustre_path", hcp.lustrePath)
        .Fid("source_fid", hcp.hai.hai_fid)
        .Fid("data_fid", hcp.hai.hai_dfid);
    WriteEvent(event);
}

// The event of an end call the coordinator accepted.
void LogEnd(unsigned action, const lu_fid& fid, int errval)
{
    JsonEvent event(EventType(action, errval == ECANCELED ? "CANCEL" : errval != 0 ? "ERROR" : "FINISH"));
    if (errval != 0 && errval != ECANCELED) event.Str("error", strerror(errval)).Num("errno", errval);
    WriteEvent(event.Fid("source_fid", fid).Fid("data_fid", fid));
}

}  // namespace

int ActionBegin(hsm_copyaction_private** phcp, const hsm_copytool_private* ct, const hsm_action_item* hai,
                int restoreMdtIndex, int restoreOpenFlags, bool isError)
{
    (void)restoreOpenFlags;  // layout flags: the stand-in's files have no layout
    auto hcp = std::make_unique<hsm_copyaction_private>();
    if (!phcp || !hai || !LookupCopytool(ct, hcp->ct)) return -EINVAL;
    hsm_action_item item;
    memcpy(&item, hai, sizeof item);
    hcp->hai.hai_action = item.hai_action;
    hcp->hai.hai_fid = item.hai_fid;
    hcp->hai.hai_dfid = item.hai_dfid;
    hcp->hai.hai_cookie = item.hai_cookie;
    hcp->isError = isError;
    const unsigned action = hcp->hai.hai_action;
    if (action != HSMA_ARCHIVE && action != HSMA_RESTORE && action != HSMA_REMOVE && action != HSMA_CANCEL)
        return -EINVAL;

    LockedState state;
    if (const int rc = state.Open(hcp->ct)) return rc;
    const Context& ctx = state.ctx;
    const Mount* const mount = state.mount;
    HsmStore& hsm = state.hsm;
    FidStore& fids = state.fids;
    // The coordinator knows the action only when it was handed to this
    // copytool.
    const Action* a = hsm.FindAction(hcp->hai.hai_cookie);
    if (!a || !a->started || a->owner != hcp->ct.id || a->action != action || !SameFid(a->fid, hcp->hai.hai_fid))
        return -ENOENT;

    if (!isError && action == HSMA_ARCHIVE) {
        std::string rel;
        ObjectId id;
        int rc = fids.Find(*mount, hcp->ct.mountDir, hcp->hai.hai_fid, rel, id);
        if (rc != 0) return rc;
        hcp->source.Reset(open(Join(hcp->ct.mountDir, rel).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!hcp->source.Valid()) return -errno;
        struct stat st;
        if (fstat(hcp->source.Get(), &st) != 0) return -errno;
        hcp->mtimeNs = MtimeNs(st);
        hcp->size = st.st_size;
    } else if (!isError && action == HSMA_RESTORE) {
        const int mdts = MdtCount(ctx.config, mount->fs);
        int mdt = restoreMdtIndex;
        if (mdt == -1) mdt = MdtOfFid(hcp->hai.hai_fid, mdts);
        if (mdt < 0 || mdt >= mdts) return -EINVAL;
        int rc = OpenVolatile(ctx, hcp->data);
        if (rc != 0) return rc;
        hcp->volatileFid = fids.Allocate(mount->fs, mdt);
        if (!state.Commit()) return -EIO;
    }

    if (EventsWanted()) {
        std::string rel;
        ObjectId id;
        if (fids.Find(*mount, hcp->ct.mountDir, hcp->hai.hai_dfid, rel, id) == 0) {
            hcp->lustrePath = rel.empty() ? "/" : rel;
            LogProgress(*hcp, "START", 0, nullptr);
        }
    }

    Registry& r = Actions();
    std::lock_guard<std::mutex> registryLock(r.mutex);
    r.live.insert(hcp.get());
    *phcp = hcp.release();
    return 0;
}

int ActionProgress(hsm_copyaction_private* hcp, const hsm_extent* he, unsigned long long total, int hpFlags)
{
    (void)hpFlags;
    CopytoolInfo ct;
    unsigned long long cookie = 0;
    hsm_extent done;
    {
        Registry& r = Actions();
        std::lock_guard<std::mutex> lock(r.mutex);
        if (!r.live.count(hcp) || !he) return -EINVAL;
        memcpy(&done, he, sizeof done);
        hcp->copied += done.length;
        ct = hcp->ct;
        cookie = hcp->hai.hai_cookie;
        const unsigned long long current = done.length;
        if (!hcp->lustrePath.empty()) LogProgress(*hcp, "RUNNING", total, &current);
    }
    // The coordinator keeps the extent copied so far, for
    // llapi_hsm_current_action to report.
    LockedState state;
    if (const int rc = state.Open(ct)) return rc;
    Action* a = state.hsm.FindAction(cookie);
    if (!a || done.length == 0) return 0;
    const unsigned long long end = done.offset + done.length;
    if (a->copiedLength == 0) {
        a->copiedOffset = done.offset;
        a->copiedLength = done.length;
    } else {
        const unsigned long long start = std::min(a->copiedOffset, done.offset);
        a->copiedLength = std::max(a->copiedOffset + a->copiedLength, end) - start;
        a->copiedOffset = start;
    }
    return state.Commit() ? 0 : -EIO;
}

int ActionEnd(hsm_copyaction_private** phcp, const hsm_extent* he, int hpFlags, int errval)
{
    std::unique_ptr<hsm_copyaction_private> hcp;
    {
        Registry& r = Actions();
        std::lock_guard<std::mutex> lock(r.mutex);
        if (!phcp || !r.live.count(*phcp) || !he) return -EINVAL;
        r.live.erase(*phcp);
        hcp.reset(*phcp);
    }
    // The handle is gone whatever happens below.
    *phcp = nullptr;

    LockedState state;
    if (const int rc = state.Open(hcp->ct)) return rc;
    const Context& ctx = state.ctx;
    const Mount* const mount = state.mount;
    HsmStore& hsm = state.hsm;
    FidStore& fids = state.fids;
    Action* a = hsm.FindAction(hcp->hai.hai_cookie);
    if (!a || a->owner != hcp->ct.id) return -ENOENT;

    int rc = 0;
    const lu_fid fid = hcp->hai.hai_fid;
    const unsigned endedAction = a->action;
    if (errval != 0 || hcp->isError) {
        if (hpFlags & HP_FLAG_RETRY) {
            a->started = false;  // back to the queue for another try
            a->owner.clear();
        } else {
            hsm.RemoveAction(a->cookie);
        }
    } else {
        const unsigned action = a->action;
        const unsigned archiveId = a->archiveId;
        hsm.RemoveAction(a->cookie);
        std::string rel;
        ObjectId id;
        if (action == HSMA_ARCHIVE) {
            struct stat st;
            if (fstat(hcp->source.Get(), &st) != 0) {
                rc = -errno;
            } else if (MtimeNs(st) != hcp->mtimeNs || st.st_size != hcp->size) {
                rc = -EBUSY;  // the file changed while it was copied: the copy is not a version of it
            } else {
                FileHsm& f = hsm.File(mount->fs, fid);
                f.flags = (f.flags | HS_EXISTS | HS_ARCHIVED) & ~HS_DIRTY;
                f.archiveId = archiveId;
                f.mtimeNs = hcp->mtimeNs;
                f.size = hcp->size;
            }
        } else if (action == HSMA_RESTORE) {
            rc = fids.Find(*mount, hcp->ct.mountDir, fid, rel, id);
            if (rc == 0) PostWatchNotice(ctx.stateDir, mount->fs, QuietNotice(fid, true));
            if (rc == 0) rc = RestoreData(hsm.File(mount->fs, fid), Join(hcp->ct.mountDir, rel), hcp->data.Get());
        } else if (action == HSMA_REMOVE) {
            // The coordinator clears what the archive held and keeps the
            // archive id (and a dirty flag): a later archive goes there.
            hsm.File(mount->fs, fid).flags &= ~(HS_EXISTS | HS_ARCHIVED | HS_LOST);
        }
    }
    if (!state.Commit()) return -EIO;
    if (rc == 0) LogEnd(endedAction, fid, errval < 0 ? -errval : errval);
    // The coordinator logs every end call, failed ones with their error.
    const HsmEvent event = endedAction == HSMA_ARCHIVE   ? HE_ARCHIVE
                           : endedAction == HSMA_RESTORE ? HE_RESTORE
                           : endedAction == HSMA_REMOVE  ? HE_REMOVE
                                                         : HE_CANCEL;
    const FileHsm* f = hsm.FindFile(mount->fs, fid);
    const bool dirty = rc == -EBUSY || (f && (f->flags & HS_DIRTY));
    PostWatchNotice(ctx.stateDir, mount->fs,
                    HsmNotice(fid, HsmRecordFlags(event, errval != 0 ? errval : -rc, dirty), getuid(), getgid()));
    return rc;
}

int ActionGetFd(const hsm_copyaction_private* hcp)
{
    Registry& r = Actions();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.live.count(hcp)) return -EINVAL;
    // A plain dup, inheritable as Lustre's is: copytools hand it to a
    // command (cp /proc/self/fd/N ...). The descriptors kept in hcp stay
    // close-on-exec.
    int fd;
    if (hcp->hai.hai_action == HSMA_ARCHIVE)
        fd = dup(hcp->source.Get());
    else if (hcp->hai.hai_action == HSMA_RESTORE)
        fd = dup(hcp->data.Get());
    else
        return -EINVAL;
    return fd < 0 ? -errno : fd;
}

int ActionGetDfid(const hsm_copyaction_private* hcp, lu_fid* fid)
{
    Registry& r = Actions();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.live.count(hcp) || !fid) return -EINVAL;
    if (hcp->hai.hai_action == HSMA_ARCHIVE)
        *fid = hcp->hai.hai_dfid;
    else if (hcp->hai.hai_action == HSMA_RESTORE)
        *fid = hcp->isError ? hcp->hai.hai_dfid : hcp->volatileFid;
    else
        return -EINVAL;
    return 0;
}

}  // namespace sim::lib
