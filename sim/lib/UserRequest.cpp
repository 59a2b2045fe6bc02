// llapi_hsm_user_request_alloc and llapi_hsm_request as the Lustre client,
// LMV and the coordinator handle a request: the size limit first, RELEASE
// done at once on the client file by file, the other actions split by MDT
// and recorded item by item for the copytools.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "Control.h"
#include "FidStore.h"
#include "FidText.h"
#include "HsmFile.h"
#include "HsmStore.h"
#include "Operations.h"
#include "SimState.h"
#include "WatchSpool.h"

namespace sim::lib {
namespace {

bool KnownAction(unsigned action)
{
    switch (action) {
    case HUA_NONE:
    case HUA_ARCHIVE:
    case HUA_RESTORE:
    case HUA_RELEASE:
    case HUA_REMOVE:
    case HUA_CANCEL:
        return true;
    default:
        return false;
    }
}

unsigned CopytoolAction(unsigned userAction)
{
    switch (userAction) {
    case HUA_ARCHIVE:
        return HSMA_ARCHIVE;
    case HUA_RESTORE:
        return HSMA_RESTORE;
    case HUA_REMOVE:
        return HSMA_REMOVE;
    default:
        return HSMA_NONE;
    }
}

bool Pending(HsmStore& hsm, const std::string& fs, const lu_fid& fid, unsigned action)
{
    for (const Action* a : hsm.ActionsOf(fs, fid))
        if (a->action == action) return true;
    return false;
}

std::string Join(const std::string& dir, const std::string& rel) { return dir == "/" ? "/" + rel : dir + "/" + rel; }

struct Item {
    lu_fid fid;
    hsm_extent extent;
    std::string path;
};

}  // namespace

hsm_user_request* UserRequestAlloc(int itemcount, int dataLen)
{
    if (itemcount < 0 || dataLen < 0) {
        errno = EINVAL;
        return nullptr;
    }
    const size_t len = sizeof(hsm_user_request) + sizeof(hsm_user_item) * static_cast<size_t>(itemcount) +
                       static_cast<size_t>(dataLen);
    return static_cast<hsm_user_request*>(calloc(1, len));
}

namespace {

// What the MDT works with while it records one request.
struct Recording {
    const Context& ctx;
    const Located& loc;
    FidStore& fids;
    HsmStore& hsm;
    const hsm_request& hr;
    const std::string& data;
};

// The client's release of one file (ll_hsm_release): 0, or why it failed.
int ReleaseItem(Recording& r, const Item& item)
{
    if (!FidIsSane(item.fid)) return -EINVAL;
    std::string rel;
    ObjectId id;
    if (const int rc = r.fids.Find(*r.loc.mount, r.loc.mountDir, item.fid, rel, id)) return rc;
    if (!S_ISREG(id.mode)) return -EINVAL;
    const std::string file = Join(r.loc.mountDir, rel);
    FileHsm* f = r.hsm.FindFile(r.loc.mount->fs, item.fid);
    if (!f) return -EPERM;
    RefreshDirty(*f, file);
    if (f->flags & HS_RELEASED) return 0;
    // Only an archived copy that is up to date, and a file allowed to be
    // released, lets the data go.
    if (!(f->flags & HS_ARCHIVED) || (f->flags & (HS_DIRTY | HS_NORELEASE | HS_LOST))) return -EPERM;
    const std::string& fs = r.loc.mount->fs;
    PostWatchNotice(r.ctx.stateDir, fs, QuietNotice(item.fid, true));
    const int rc = ReleaseData(*f, file);
    PostWatchNotice(r.ctx.stateDir, fs,
                    rc == 0 ? HsmNotice(item.fid, HsmRecordFlags(HE_RELEASE, 0, false), getuid(), getgid())
                            : QuietNotice(item.fid, false));
    return rc;
}

// The coordinator's recording of one item (mdt_hsm_add_actions): 0 when it
// is queued or not needed, otherwise the error that stops the request.
int RecordItem(Recording& r, const Item& item, unsigned long long& compound)
{
    const std::string& fs = r.loc.mount->fs;
    const unsigned action = CopytoolAction(r.hr.hr_action);
    if (r.hr.hr_action == HUA_CANCEL) {
        for (const Action* a : r.hsm.ActionsOf(fs, item.fid))
            if (!a->started) r.hsm.RemoveAction(a->cookie);
        return 0;
    }
    if (!FidIsSane(item.fid)) return -EINVAL;
    std::string rel;
    ObjectId id;
    if (const int rc = r.fids.Find(*r.loc.mount, r.loc.mountDir, item.fid, rel, id))
        return action == HSMA_REMOVE && rc == -ENOENT ? 0 : rc;  // a REMOVE needs no Lustre file
    if (!S_ISREG(id.mode)) return -EINVAL;
    if (r.hr.hr_action == HUA_NONE) return 0;

    FileHsm* f = r.hsm.FindFile(fs, item.fid);
    if (f) RefreshDirty(*f, Join(r.loc.mountDir, rel));
    const unsigned flags = f ? f->flags : 0;
    const unsigned fileArchive = f ? f->archiveId : 0;
    bool needed = false;
    unsigned archive = fileArchive ? fileArchive : kDefaultArchiveId;
    if (action == HSMA_ARCHIVE) {
        if (flags & HS_NOARCHIVE) return -EPERM;
        if (r.hr.hr_archive_id != 0 && fileArchive != 0 && (flags & HS_EXISTS) && r.hr.hr_archive_id != fileArchive)
            return -EPERM;
        needed = !(flags & HS_RELEASED) &&
                 (!(flags & HS_ARCHIVED) || (flags & HS_DIRTY) || (r.hr.hr_flags & HSM_FORCE_ACTION));
        if (r.hr.hr_archive_id != 0) archive = r.hr.hr_archive_id;
    } else if (action == HSMA_RESTORE) {
        if (flags & (HS_DIRTY | HS_LOST)) return -EPERM;
        needed = flags & HS_RELEASED;
    } else if (action == HSMA_REMOVE) {
        if (flags & HS_RELEASED) return -EPERM;
        needed = flags & (HS_EXISTS | HS_ARCHIVED);
    }
    if (!needed || Pending(r.hsm, fs, item.fid, action)) return 0;
    if (compound == 0) compound = r.hsm.NextCompound();
    Action a;
    a.cookie = r.hsm.NextCookie();
    a.compound = compound;
    a.fs = fs;
    a.action = action;
    a.archiveId = archive;
    a.flags = r.hr.hr_flags;
    a.fid = item.fid;
    a.extentOffset = item.extent.offset;
    a.extentLength = item.extent.length;
    a.data = r.data;
    r.hsm.AddAction(a);
    return 0;
}

// One MDT's request: duplicate FIDs dropped, items recorded in order up to
// the first refused one; what was queued before it stays queued.
int RecordMdtRequest(Recording& r, const std::vector<Item>& items)
{
    unsigned long long compound = 0;
    std::vector<lu_fid> seen;
    for (const auto& item : items) {
        bool duplicate = false;
        for (const auto& fid : seen) duplicate = duplicate || SameFid(fid, item.fid);
        if (duplicate) continue;
        seen.push_back(item.fid);
        if (const int rc = RecordItem(r, item, compound)) return rc;
    }
    return 0;
}

}  // namespace

int Request(const char* path, const hsm_user_request* request)
{
    if (!path || !request) return -EINVAL;
    Context ctx;
    Located loc;
    if (LoadContext(ctx)) loc = Locate(ctx.config, path);
    if (!loc.mount) return -ENODEV;

    // The client copies the header first and refuses what would not fit in
    // one MDS request, whatever the action.
    hsm_request hr;
    memcpy(&hr, &request->hur_request, sizeof hr);
    const unsigned long long len = sizeof(hsm_user_request) + 32ULL * hr.hr_itemcount + hr.hr_data_len;
    if (len > kMaxRequestLen) return -E2BIG;
    if (hr.hr_itemcount == 0) return 0;  // nothing to send
    if (!KnownAction(hr.hr_action)) return -EINVAL;
    // Sent to the metadata servers.
    WaitForServer(ctx, loc.mount->fs);

    std::vector<Item> items(hr.hr_itemcount);
    for (unsigned i = 0; i < hr.hr_itemcount; ++i) {
        hsm_user_item hui;
        memcpy(&hui, &request->hur_user_item[i], sizeof hui);
        items[i].fid = hui.hui_fid;
        items[i].extent = hui.hui_extent;
    }
    const char* dataStart =
        reinterpret_cast<const char*>(request) + sizeof(hsm_user_request) + sizeof(hsm_user_item) * hr.hr_itemcount;
    const std::string data(dataStart, hr.hr_data_len);

    Transaction tx(*ctx.db);
    FidStore fids(ctx.db);
    HsmStore hsm;
    if (!tx.Begun() || !hsm.Load(ctx)) return -EIO;
    Recording r{ctx, loc, fids, hsm, hr, data};

    int rc = 0;
    if (hr.hr_action == HUA_RELEASE) {
        // The client releases file by file and stops at the first failure;
        // files released before it stay released.
        for (const auto& item : items)
            if ((rc = ReleaseItem(r, item)) != 0) break;
    } else {
        // LMV: one item or one MDT sends the whole request to the MDT of the
        // first item; otherwise each MDT, in index order, gets its own items
        // (every FID is looked up first), and the first error is kept while
        // the other MDTs are still sent to.
        const int mdts = MdtCount(ctx.config, loc.mount->fs);
        std::vector<std::vector<Item>> perMdt(1);
        if (items.size() > 1 && mdts > 1) {
            perMdt.assign(static_cast<size_t>(mdts), {});
            for (const auto& item : items) {
                const int mdt = FidIsSane(item.fid) ? MdtOfFid(item.fid, mdts) : -1;
                if (mdt < 0) return FidIsSane(item.fid) ? -ENOENT : -EINVAL;
                perMdt[static_cast<size_t>(mdt)].push_back(item);
            }
        } else {
            perMdt[0] = items;
        }
        for (const auto& mdtItems : perMdt) {
            if (mdtItems.empty()) continue;
            const int mdtRc = RecordMdtRequest(r, mdtItems);
            if (rc == 0) rc = mdtRc;
        }
    }
    if (!hsm.Save(ctx) || !tx.Commit()) return -EIO;
    return rc;
}

}  // namespace sim::lib
