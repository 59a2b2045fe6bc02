// The exported liblustreapi entry points. Each one counts the call, records
// its arguments, returns an injected failure when one is pending, and
// otherwise does the work in Operations.h.
//
// Built once per library variant: LUSTRE_SIM_NO_ACTION_BEGIN leaves out
// llapi_hsm_action_begin, LUSTRE_SIM_NO_FD2FID leaves out llapi_fd2fid and
// LUSTRE_SIM_NO_HSM_STATE leaves out llapi_hsm_state_get, _state_set and
// llapi_hsm_current_action, and LUSTRE_SIM_NO_CHANGELOG the llapi_changelog_*
// calls, as an older or partial liblustreapi would (the no-hsm-state variant,
// an old Lustre, has neither).
#include <lustre/lustreapi.h>

#include <cerrno>
#include <cstring>

#include "Control.h"
#include "Operations.h"

#define LLAPI_EXPORT extern "C" __attribute__((visibility("default")))

// The stand-in publishes lu_fid as Lustre does from 2.14: packed.
static_assert(alignof(lu_fid) == 1, "lu_fid is packed");

using sim::lib::CallArgs;
using sim::lib::EnterCall;
using sim::lib::Ep;

namespace {

void CopyExtent(CallArgs& a, const hsm_extent* he)
{
    if (!he) return;
    a.has_extent = 1;
    a.extent_offset = he->offset;
    a.extent_length = he->length;
}

}  // namespace

LLAPI_EXPORT int llapi_hsm_copytool_register(hsm_copytool_private** priv, const char* mnt, int archive_count,
                                             int* archives, int rfd_flags)
{
    CallArgs a;
    a.ptr0 = priv;
    a.Str0(mnt);
    a.int0 = archive_count;
    a.ptr1 = archives;
    a.int1 = rfd_flags;
    if (archives)
        for (int i = 0; i < archive_count && i < 32; ++i) a.archive_ids[a.archive_ids_count++] = archives[i];
    int injected;
    if (EnterCall(Ep::CopytoolRegister, a, injected)) return injected;
    return sim::lib::CopytoolRegister(priv, mnt, archive_count, archives, rfd_flags);
}

LLAPI_EXPORT int llapi_hsm_copytool_unregister(hsm_copytool_private** priv)
{
    CallArgs a;
    a.ptr0 = priv;
    int injected;
    if (EnterCall(Ep::CopytoolUnregister, a, injected)) return injected;
    return sim::lib::CopytoolUnregister(priv);
}

LLAPI_EXPORT int llapi_hsm_copytool_recv(hsm_copytool_private* priv, hsm_action_list** hal, int* msgsize)
{
    CallArgs a;
    a.ptr0 = priv;
    a.ptr1 = hal;
    a.ptr2 = msgsize;
    int injected;
    if (EnterCall(Ep::CopytoolRecv, a, injected)) return injected;
    return sim::lib::CopytoolRecv(priv, hal, msgsize);
}

#ifndef LUSTRE_SIM_NO_ACTION_BEGIN
LLAPI_EXPORT int llapi_hsm_action_begin(hsm_copyaction_private** phcp, const hsm_copytool_private* ct,
                                        const hsm_action_item* hai, int restore_mdt_index, int restore_open_flags,
                                        bool is_error)
{
    CallArgs a;
    a.ptr0 = phcp;
    a.ptr1 = ct;
    a.ptr2 = hai;
    a.int0 = restore_mdt_index;
    a.int1 = restore_open_flags;
    a.int2 = is_error ? 1 : 0;
    int injected;
    if (EnterCall(Ep::ActionBegin, a, injected)) return injected;
    return sim::lib::ActionBegin(phcp, ct, hai, restore_mdt_index, restore_open_flags, is_error);
}
#endif

LLAPI_EXPORT int llapi_hsm_action_end(hsm_copyaction_private** phcp, const hsm_extent* he, int hp_flags, int errval)
{
    CallArgs a;
    a.ptr0 = phcp;
    a.ptr1 = he;
    a.int0 = hp_flags;
    a.int1 = errval;
    CopyExtent(a, he);
    int injected;
    if (EnterCall(Ep::ActionEnd, a, injected)) return injected;
    return sim::lib::ActionEnd(phcp, he, hp_flags, errval);
}

LLAPI_EXPORT int llapi_hsm_action_progress(hsm_copyaction_private* hcp, const hsm_extent* he, unsigned long long total,
                                           int hp_flags)
{
    CallArgs a;
    a.ptr0 = hcp;
    a.ptr1 = he;
    a.u64 = total;
    a.int0 = hp_flags;
    CopyExtent(a, he);
    int injected;
    if (EnterCall(Ep::ActionProgress, a, injected)) return injected;
    return sim::lib::ActionProgress(hcp, he, total, hp_flags);
}

LLAPI_EXPORT int llapi_hsm_action_get_fd(const hsm_copyaction_private* hcp)
{
    CallArgs a;
    a.ptr0 = hcp;
    int injected;
    if (EnterCall(Ep::ActionGetFd, a, injected)) return injected;
    return sim::lib::ActionGetFd(hcp);
}

LLAPI_EXPORT int llapi_hsm_action_get_dfid(const hsm_copyaction_private* hcp, lu_fid* fid)
{
    CallArgs a;
    a.ptr0 = hcp;
    a.ptr1 = fid;
    int injected;
    if (EnterCall(Ep::ActionGetDfid, a, injected)) return injected;
    return sim::lib::ActionGetDfid(hcp, fid);
}

LLAPI_EXPORT hsm_user_request* llapi_hsm_user_request_alloc(int itemcount, int data_len)
{
    CallArgs a;
    a.int0 = itemcount;
    a.int1 = data_len;
    int injected;
    if (EnterCall(Ep::UserRequestAlloc, a, injected)) {
        errno = ENOMEM;
        return nullptr;
    }
    return sim::lib::UserRequestAlloc(itemcount, data_len);
}

LLAPI_EXPORT int llapi_hsm_request(const char* path, const hsm_user_request* request)
{
    CallArgs a;
    a.Str0(path);
    a.ptr0 = request;
    sim::lib::RecordRequest(request);
    int injected;
    if (EnterCall(Ep::Request, a, injected)) return injected;
    return sim::lib::Request(path, request);
}

LLAPI_EXPORT int llapi_search_fsname(const char* pathname, char* fsname)
{
    CallArgs a;
    a.Str0(pathname);
    a.ptr0 = fsname;
    int injected;
    if (EnterCall(Ep::SearchFsname, a, injected)) return injected;
    return sim::lib::SearchFsname(pathname, fsname);
}

LLAPI_EXPORT int llapi_fid2path(const char* device, const char* fidstr, char* path, int pathlen, long long* recno,
                                int* linkno)
{
    CallArgs a;
    a.Str0(device);
    a.Str1(fidstr);
    a.ptr0 = path;
    a.int0 = pathlen;
    a.ptr1 = recno;
    a.ptr2 = linkno;
    if (recno) a.u64 = static_cast<unsigned long long>(*recno);
    if (linkno) a.int1 = *linkno;
    int injected;
    if (EnterCall(Ep::Fid2Path, a, injected)) return injected;
    return sim::lib::Fid2Path(device, fidstr, path, pathlen, recno, linkno);
}

LLAPI_EXPORT int llapi_path2fid(const char* path, lu_fid* fid)
{
    CallArgs a;
    a.Str0(path);
    a.ptr0 = fid;
    int injected;
    if (EnterCall(Ep::Path2Fid, a, injected)) return injected;
    return sim::lib::Path2Fid(path, fid);
}

LLAPI_EXPORT int llapi_get_mdt_index_by_fid(int fd, const lu_fid* fid, int* mdt_index)
{
    CallArgs a;
    a.int0 = fd;
    a.ptr0 = fid;
    a.ptr1 = mdt_index;
    if (fid) {
        a.has_fid = 1;
        a.fid_seq = fid->f_seq;
        a.fid_oid = fid->f_oid;
        a.fid_ver = fid->f_ver;
    }
    int injected;
    if (EnterCall(Ep::GetMdtIndexByFid, a, injected)) return injected;
    return sim::lib::GetMdtIndexByFid(fd, fid, mdt_index);
}

LLAPI_EXPORT int llapi_file_fget_mdtidx(int fd, int* mdtidx)
{
    CallArgs a;
    a.int0 = fd;
    a.ptr0 = mdtidx;
    int injected;
    if (EnterCall(Ep::FileFgetMdtidx, a, injected)) return injected;
    return sim::lib::FileFgetMdtidx(fd, mdtidx);
}

LLAPI_EXPORT int llapi_fid2path_at(int mnt_fd, const lu_fid* fid, char* path, int pathlen, long long* recno,
                                   int* linkno)
{
    CallArgs a;
    a.int0 = mnt_fd;
    a.ptr0 = fid;
    a.ptr1 = path;
    a.int1 = pathlen;
    int injected;
    if (EnterCall(Ep::Fid2PathAt, a, injected)) return injected;
    return sim::lib::Fid2PathAt(mnt_fd, fid, path, pathlen, recno, linkno);
}

LLAPI_EXPORT int llapi_hsm_import(const char* dst, int archive, const struct stat* st, unsigned long long stripe_size,
                                  int stripe_offset, int stripe_count, int stripe_pattern, char* pool_name,
                                  lu_fid* newfid)
{
    CallArgs a;
    a.Str0(dst);
    a.int0 = archive;
    a.ptr0 = st;
    a.ptr1 = newfid;
    int injected;
    if (EnterCall(Ep::HsmImport, a, injected)) return injected;
    (void)stripe_size;  // the stand-in's files have no layout
    (void)stripe_offset;
    (void)stripe_count;
    (void)pool_name;
    return sim::lib::HsmImport(dst, archive, st, stripe_pattern, newfid);
}

#ifndef LUSTRE_SIM_NO_FD2FID
LLAPI_EXPORT int llapi_fd2fid(int fd, lu_fid* fid)
{
    CallArgs a;
    a.int0 = fd;
    a.ptr0 = fid;
    int injected;
    if (EnterCall(Ep::Fd2Fid, a, injected)) return injected;
    return sim::lib::Fd2Fid(fd, fid);
}
#endif

#ifndef LUSTRE_SIM_NO_HSM_STATE
LLAPI_EXPORT int llapi_hsm_state_get(const char* path, hsm_user_state* hus)
{
    CallArgs a;
    a.Str0(path);
    a.ptr0 = hus;
    int injected;
    if (EnterCall(Ep::StateGet, a, injected)) return injected;
    return sim::lib::StateGet(path, hus);
}

LLAPI_EXPORT int llapi_hsm_state_get_fd(int fd, hsm_user_state* hus)
{
    CallArgs a;
    a.int0 = fd;
    a.ptr0 = hus;
    int injected;
    if (EnterCall(Ep::StateGetFd, a, injected)) return injected;
    return sim::lib::StateGetFd(fd, hus);
}

LLAPI_EXPORT int llapi_hsm_state_set(const char* path, unsigned long long setmask, unsigned long long clearmask,
                                     unsigned int archive_id)
{
    CallArgs a;
    a.Str0(path);
    a.u64 = setmask;
    a.int0 = static_cast<long long>(clearmask);
    a.int1 = archive_id;
    int injected;
    if (EnterCall(Ep::StateSet, a, injected)) return injected;
    return sim::lib::StateSet(path, setmask, clearmask, archive_id);
}

LLAPI_EXPORT int llapi_hsm_current_action(const char* path, hsm_current_action* hca)
{
    CallArgs a;
    a.Str0(path);
    a.ptr0 = hca;
    int injected;
    if (EnterCall(Ep::CurrentAction, a, injected)) return injected;
    return sim::lib::CurrentAction(path, hca);
}
#endif

#ifndef LUSTRE_SIM_NO_CHANGELOG
LLAPI_EXPORT int llapi_changelog_start(void** priv, enum changelog_send_flag flags, const char* mdtname,
                                       long long startrec)
{
    CallArgs a;
    a.ptr0 = priv;
    a.int0 = flags;
    a.Str0(mdtname);
    a.int1 = startrec;
    int injected;
    if (EnterCall(Ep::ChangelogStart, a, injected)) return injected;
    return sim::lib::ChangelogStart(priv, flags, mdtname, startrec);
}

// Neither counted nor recorded: a reader calls it once a record, and copying
// the arguments would dominate the loop. A failure may still be injected.
LLAPI_EXPORT int llapi_changelog_recv(void* priv, changelog_rec** rech)
{
    int injected;
    if (sim::lib::TakeFailure(Ep::ChangelogRecv, injected)) {
        if (rech) *rech = nullptr;
        return injected;
    }
    return sim::lib::ChangelogRecv(priv, rech);
}

LLAPI_EXPORT int llapi_changelog_free(changelog_rec** rech) { return sim::lib::ChangelogFree(rech); }

LLAPI_EXPORT int llapi_changelog_fini(void** priv)
{
    CallArgs a;
    a.ptr0 = priv;
    int injected;
    if (EnterCall(Ep::ChangelogFini, a, injected)) return injected;
    return sim::lib::ChangelogFini(priv);
}

LLAPI_EXPORT int llapi_changelog_clear(const char* mdtname, const char* idstr, long long endrec)
{
    CallArgs a;
    a.Str0(mdtname);
    a.Str1(idstr);
    a.int0 = endrec;
    int injected;
    if (EnterCall(Ep::ChangelogClear, a, injected)) return injected;
    return sim::lib::ChangelogClear(mdtname, idstr, endrec);
}

LLAPI_EXPORT int llapi_changelog_in_buf(void* priv) { return sim::lib::ChangelogInBuf(priv); }

LLAPI_EXPORT int llapi_changelog_get_fd(void* priv)
{
    CallArgs a;
    a.ptr0 = priv;
    int injected;
    if (EnterCall(Ep::ChangelogGetFd, a, injected)) return injected;
    return sim::lib::ChangelogGetFd(priv);
}

LLAPI_EXPORT int llapi_changelog_set_xflags(void* priv, enum changelog_send_extra_flag extra_flags)
{
    CallArgs a;
    a.ptr0 = priv;
    a.int0 = extra_flags;
    int injected;
    if (EnterCall(Ep::ChangelogSetXflags, a, injected)) return injected;
    return sim::lib::ChangelogSetXflags(priv, extra_flags);
}
#endif
