// llapi_hsm_user_request_alloc and llapi_hsm_request: requests are checked
// whole, then RELEASE is done at once (as the Lustre client does it locally)
// and the other actions are queued for the copytools.
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

bool Pending(const HsmStore& hsm, const std::string& fs, const lu_fid& fid, unsigned action)
{
    for (const auto& a : hsm.Actions())
        if (a.fs == fs && SameFid(a.fid, fid) && a.action == action) return true;
    return false;
}

std::string Join(const std::string& dir, const std::string& rel)
{
    return dir == "/" ? "/" + rel : dir + "/" + rel;
}

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

int Request(const char* path, const hsm_user_request* request)
{
    if (!path || !request) return -EINVAL;
    Context ctx;
    Located loc;
    if (LoadContext(ctx)) loc = Locate(ctx.config, path);
    if (!loc.mount) return -ENODEV;

    // The client copies the header first and refuses what would not fit in
    // one MDS request.
    hsm_request hr;
    memcpy(&hr, &request->hur_request, sizeof hr);
    const unsigned long long len = sizeof(hsm_user_request) + 32ULL * hr.hr_itemcount + hr.hr_data_len;
    if (len > kMaxRequestLen) return -E2BIG;
    if (hr.hr_itemcount == 0 || !KnownAction(hr.hr_action)) return -EINVAL;

    std::vector<Item> items(hr.hr_itemcount);
    for (unsigned i = 0; i < hr.hr_itemcount; ++i) {
        hsm_user_item hui;
        memcpy(&hui, &request->hur_user_item[i], sizeof hui);
        items[i].fid = hui.hui_fid;
        items[i].extent = hui.hui_extent;
    }
    const char* dataStart = reinterpret_cast<const char*>(request) + sizeof(hsm_user_request) +
                            sizeof(hsm_user_item) * hr.hr_itemcount;
    const std::string data(dataStart, hr.hr_data_len);

    const std::string& fs = loc.mount->fs;
    StateLock lock(ctx.libDir);
    if (!lock.Locked()) return -EIO;
    FidStore fids;
    HsmStore hsm;
    if (!fids.Load(ctx) || !hsm.Load(ctx)) return -EIO;

    // Every item must name a regular file of this file system before
    // anything is done.
    for (auto& item : items) {
        if (!FidIsSane(item.fid)) return -EINVAL;
        std::string rel;
        ObjectId id;
        int rc = fids.Find(*loc.mount, loc.mountDir, item.fid, rel, id);
        if (rc != 0) return rc;
        if (!S_ISREG(id.mode)) return -EINVAL;
        item.path = Join(loc.mountDir, rel);
        FileHsm* f = hsm.FindFile(fs, item.fid);
        if (f) RefreshDirty(*f, item.path);
        if (hr.hr_action == HUA_RELEASE && !(f && (f->flags & HS_ARCHIVED) && !(f->flags & HS_DIRTY)))
            return -EPERM;  // only an archived copy that is up to date lets the data go
    }

    int rc = 0;
    if (hr.hr_action == HUA_RELEASE) {
        for (auto& item : items) {
            FileHsm& f = hsm.File(fs, item.fid);
            if (f.flags & HS_RELEASED) continue;
            PostWatchNotice(ctx.stateDir, fs, QuietNotice(item.fid, true));
            rc = ReleaseData(f, item.path);
            PostWatchNotice(ctx.stateDir, fs,
                            rc == 0 ? HsmNotice(item.fid, HsmRecordFlags(HE_RELEASE, 0, false), getuid(), getgid())
                                    : QuietNotice(item.fid, false));
            if (rc != 0) break;
        }
    } else if (hr.hr_action == HUA_CANCEL) {
        auto& actions = hsm.Actions();
        for (const auto& item : items)
            for (size_t i = actions.size(); i-- > 0;)
                if (!actions[i].started && actions[i].fs == fs && SameFid(actions[i].fid, item.fid))
                    actions.erase(actions.begin() + static_cast<long>(i));
    } else if (hr.hr_action != HUA_NONE) {
        const unsigned action = CopytoolAction(hr.hr_action);
        unsigned long long compound = 0;
        for (const auto& item : items) {
            FileHsm* f = hsm.FindFile(fs, item.fid);
            const unsigned flags = f ? f->flags : 0;
            bool needed = false;
            unsigned archive = f && f->archiveId ? f->archiveId : kDefaultArchiveId;
            if (action == HSMA_ARCHIVE) {
                needed = !(flags & HS_ARCHIVED) || (flags & HS_DIRTY) || (hr.hr_flags & HSM_FORCE_ACTION);
                if (hr.hr_archive_id != 0) archive = hr.hr_archive_id;
            } else if (action == HSMA_RESTORE) {
                needed = flags & HS_RELEASED;
            } else if (action == HSMA_REMOVE) {
                needed = (flags & (HS_EXISTS | HS_ARCHIVED)) && !(flags & HS_RELEASED);
            }
            if (!needed || Pending(hsm, fs, item.fid, action)) continue;
            if (compound == 0) compound = hsm.NextCompound();
            Action a;
            a.cookie = hsm.NextCookie();
            a.compound = compound;
            a.fs = fs;
            a.action = action;
            a.archiveId = archive;
            a.flags = hr.hr_flags;
            a.fid = item.fid;
            a.extentOffset = item.extent.offset;
            a.extentLength = item.extent.length;
            a.data = data;
            hsm.Actions().push_back(a);
        }
    }
    if (!fids.Save(ctx) || !hsm.Save(ctx)) return -EIO;
    return rc;
}

}  // namespace sim::lib
