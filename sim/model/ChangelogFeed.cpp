#include "ChangelogFeed.h"

#include <algorithm>
#include <cstring>

#include "NidText.h"

namespace sim::lib {
namespace {

constexpr size_t kNameMax = 255;

void CopyFid(lu_fid& to, const Fid& from)
{
    to.f_seq = from.seq;
    to.f_oid = from.oid;
    to.f_ver = from.ver;
}

}  // namespace

uint32_t OpenFlagsOfMode(const std::string& mode)
{
    if (mode == "--x") return 04;
    if (mode == "r--") return 01;
    if (mode == "-w-") return 02;
    if (mode == "rw-") return 03;
    return 0;
}

size_t PackChangelogRecord(const ChangelogRecord& r, bool withExtraFlags, char* out)
{
    const bool extra = withExtraFlags && r.hasExtra;
    const size_t jobLen = std::min(r.jobid.size(), size_t{LUSTRE_JOBID_SIZE - 1});
    unsigned flags = (r.flags & CLF_FLAGMASK) | (r.rename ? CLF_RENAME : CLF_VERSION);
    if (jobLen > 0) flags |= CLF_JOBID;
    if (extra) flags |= CLF_EXTRA_FLAGS;
    const auto xflags = static_cast<enum changelog_rec_extra_flags>(extra ? r.extraFlags & CLFE_SUPPORTED : 0);

    memset(out, 0, CR_MAXSIZE);
    auto* rec = reinterpret_cast<changelog_rec*>(out);
    rec->cr_flags = static_cast<__u16>(flags);
    rec->cr_type = static_cast<__u32>(r.type);
    rec->cr_index = r.index;
    rec->cr_time = static_cast<uint64_t>(r.sec) << 30 | (r.nsec & 0x3fffffffu);
    CopyFid(rec->cr_tfid, r.tfid);
    CopyFid(rec->cr_pfid, r.pfid);
    if (r.rename) {
        CopyFid(changelog_rec_rename(rec)->cr_sfid, r.sfid);
        CopyFid(changelog_rec_rename(rec)->cr_spfid, r.spfid);
    }
    if (jobLen > 0) memcpy(changelog_rec_jobid(rec)->cr_jobid, r.jobid.data(), jobLen);
    if (extra) {
        changelog_rec_extra_flags(rec)->cr_extra_flags = xflags;
        if (xflags & CLFE_UIDGID) {
            changelog_rec_uidgid(rec)->cr_uid = r.uid;
            changelog_rec_uidgid(rec)->cr_gid = r.gid;
        }
        uint64_t nid = 0;
        if ((xflags & CLFE_NID) && common::ParseNid(r.nid, nid)) changelog_rec_nid(rec)->cr_nid = nid;
        if (xflags & CLFE_OPEN) changelog_rec_openmode(rec)->cr_openflags = OpenFlagsOfMode(r.openMode);
        if (xflags & CLFE_XATTR)
            memcpy(changelog_rec_xattr(rec)->cr_xattr, r.xattr.data(),
                   std::min(r.xattr.size(), size_t{XATTR_NAME_MAX}));
    }
    char* name = changelog_rec_name(rec);
    const size_t nameLen = std::min(r.name.size(), kNameMax);
    memcpy(name, r.name.data(), nameLen);
    size_t total = nameLen;
    if (r.rename) {
        // "name\0sname\0": the length counts both NULs.
        const size_t snameLen = std::min(r.sname.size(), kNameMax);
        memcpy(name + nameLen + 1, r.sname.data(), snameLen);
        total = nameLen + 1 + snameLen + 1;
    }
    rec->cr_namelen = static_cast<__u16>(total);
    return changelog_rec_size(rec) + total;
}

bool ChangelogSource::Open(const std::string& stateDir, const std::string& mdt, std::string& error)
{
    m_db = StateDb::Open(stateDir, error);
    m_mdt = mdt;
    return m_db != nullptr;
}

bool ChangelogSource::Read(uint64_t from, size_t limit, bool withExtraFlags,
                           const std::function<void(const changelog_rec& record)>& take, size_t& count,
                           std::string& error)
{
    count = 0;
    {
        Transaction tx(*m_db, Transaction::kRead);
        ChangelogStore store(*m_db, m_mdt);
        if (!tx.Begun() || !store.Read(from, limit, m_batch)) {
            error = tx.Error();
            return false;
        }
    }
    alignas(8) char packed[CR_MAXSIZE];
    for (const ChangelogRecord& r : m_batch) {
        PackChangelogRecord(r, withExtraFlags, packed);
        take(*reinterpret_cast<const changelog_rec*>(packed));
    }
    count = m_batch.size();
    return true;
}

bool ChangelogSource::CurrentIndex(uint64_t& index, std::string& error)
{
    Transaction tx(*m_db, Transaction::kRead);
    ChangelogStore store(*m_db, m_mdt);
    if (!tx.Begun() || !store.CurrentIndex(index)) {
        error = tx.Error();
        return false;
    }
    return true;
}

}  // namespace sim::lib
