#include "ChangelogFeed.h"

#include <cstring>

#include "ChangelogTypes.h"

namespace sim {
namespace {

constexpr size_t kNameMax = 255;

// The record as the MDT writes it: the fixed part, RENAME or VERSION, JOBID
// for a non-empty job id, the extra-flags word and its parts, the names.
std::string Pack(const ChangelogRecord& r)
{
    alignas(8) char out[CR_MAXSIZE];
    memset(out, 0, sizeof out);
    unsigned flags = (r.flags & CLF_FLAGMASK) | (r.rename ? CLF_RENAME : CLF_VERSION);
    if (!r.jobid.empty()) flags |= CLF_JOBID;
    if (r.hasExtra) flags |= CLF_EXTRA_FLAGS;
    const uint64_t parts = r.extraFlags.value_or(MdtExtraFlags(r.type));
    const auto xflags = static_cast<enum changelog_rec_extra_flags>(r.hasExtra ? parts & CLFE_SUPPORTED : 0);
    auto* rec = reinterpret_cast<changelog_rec*>(out);
    rec->cr_flags = static_cast<__u16>(flags);
    rec->cr_type = static_cast<__u32>(r.type);
    rec->cr_index = r.index;
    rec->cr_time = static_cast<uint64_t>(r.sec) << 30 | r.nsec;
    rec->cr_tfid = r.tfid;
    rec->cr_pfid = r.pfid;
    if (r.rename) {
        changelog_rec_rename(rec)->cr_sfid = r.sfid;
        changelog_rec_rename(rec)->cr_spfid = r.spfid;
    }
    if (!r.jobid.empty()) memcpy(changelog_rec_jobid(rec)->cr_jobid, r.jobid.data(), r.jobid.size());
    if (r.hasExtra) {
        changelog_rec_extra_flags(rec)->cr_extra_flags = xflags;
        if (xflags & CLFE_UIDGID) {
            changelog_rec_uidgid(rec)->cr_uid = r.uid;
            changelog_rec_uidgid(rec)->cr_gid = r.gid;
        }
        if (xflags & CLFE_NID) changelog_rec_nid(rec)->cr_nid = r.nid;
        if (xflags & CLFE_OPEN) changelog_rec_openmode(rec)->cr_openflags = r.openFlags;
        if (xflags & CLFE_XATTR) memcpy(changelog_rec_xattr(rec)->cr_xattr, r.xattr.data(), r.xattr.size());
    }
    char* name = changelog_rec_name(rec);
    memcpy(name, r.name.data(), r.name.size());
    size_t total = r.name.size();
    if (r.rename) {
        // "name\0sname\0": the length counts both NULs.
        memcpy(name + r.name.size() + 1, r.sname.data(), r.sname.size());
        total += 1 + r.sname.size() + 1;
    }
    rec->cr_namelen = static_cast<__u16>(total);
    return std::string(out, changelog_rec_size(rec) + total);
}

// A stored record's bytes hold one whole record.
bool WholeRecord(const std::string& bytes)
{
    if (bytes.size() < sizeof(changelog_rec) || bytes.size() > CR_MAXSIZE) return false;
    alignas(8) char copy[CR_MAXSIZE];
    memcpy(copy, bytes.data(), bytes.size());
    const auto* rec = reinterpret_cast<const changelog_rec*>(copy);
    return changelog_rec_size(rec) + rec->cr_namelen == bytes.size();
}

}  // namespace

uint64_t MdtExtraFlags(int type)
{
    uint64_t parts = CLFE_UIDGID | CLFE_NID;
    if (type == CL_OPEN || type == CL_DN_OPEN) parts |= CLFE_OPEN;
    if (type == CL_SETXATTR || type == CL_GETXATTR) parts |= CLFE_XATTR;
    return parts;
}

std::string ChangelogRecordRefusal(const ChangelogRecord& r)
{
    if (r.type < 0 || r.type >= CL_LAST) return "record type " + std::to_string(r.type) + " is not one of Lustre's";
    if (r.flags & ~static_cast<uint32_t>(CLF_FLAGMASK)) return "record flags beyond 0xfff";
    if (r.nsec >= 1000000000u) return "nanoseconds beyond a second";
    if (r.extraFlags.value_or(0) & ~static_cast<uint64_t>(CLFE_SUPPORTED)) return "extra flags beyond 0xf";
    if (!r.extraFlags && r.hasExtra) {
        const uint64_t parts = MdtExtraFlags(r.type);
        if (r.openFlags && !(parts & CLFE_OPEN))
            return "an open mode in a " + std::string(common::ChangelogTypeName(r.type)) +
                   " record (an MDT writes one only in OPEN and NOPEN records)";
        if (!r.xattr.empty() && !(parts & CLFE_XATTR))
            return "an attribute name in a " + std::string(common::ChangelogTypeName(r.type)) +
                   " record (an MDT writes one only in XATTR and GXATR records)";
    }
    if (r.jobid.size() > LUSTRE_JOBID_SIZE - 1)
        return "a job id of " + std::to_string(r.jobid.size()) + " bytes (Lustre keeps at most " +
               std::to_string(LUSTRE_JOBID_SIZE - 1) + ")";
    for (const std::string* name : {&r.name, &r.sname})
        if (name->size() > kNameMax)
            return "a name of " + std::to_string(name->size()) + " bytes (Lustre keeps at most " +
                   std::to_string(kNameMax) + ")";
    if (r.xattr.size() > XATTR_NAME_MAX)
        return "an extended attribute name of " + std::to_string(r.xattr.size()) + " bytes (Lustre keeps at most " +
               std::to_string(XATTR_NAME_MAX) + ")";
    for (const std::string* text : {&r.jobid, &r.name, &r.sname, &r.xattr})
        if (text->find('\0') != std::string::npos) return "a name or job id holding a NUL";
    return "";
}

bool OpenFlagsOfMode(const std::string& mode, uint32_t& flags)
{
    static const struct {
        const char* text;
        uint32_t flags;
    } kModes[] = {{"", 0}, {"---", 0}, {"r--", 01}, {"-w-", 02}, {"rw-", 03}, {"--x", 04}};
    for (const auto& m : kModes)
        if (mode == m.text) {
            flags = m.flags;
            return true;
        }
    return false;
}

bool AppendChangelogRecord(ChangelogStore& store, ChangelogRecord& r)
{
    uint64_t index = 0;
    if (!store.CurrentIndex(index)) return false;
    r.index = index + 1;
    return store.Append(r.index, Pack(r));
}

bool ChangelogSource::Open(const std::string& stateDir, const std::string& mdt, std::string& error)
{
    m_db = StateDb::Open(stateDir, error);
    m_mdt = mdt;
    return m_db != nullptr;
}

bool ChangelogSource::Read(uint64_t from, size_t limit, const std::function<void(const changelog_rec& record)>& take,
                           size_t& count, std::string& error)
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
    alignas(8) char record[CR_MAXSIZE];
    for (const std::string& bytes : m_batch) {
        if (!WholeRecord(bytes)) {
            error = "a record of " + m_mdt + " is not one";
            return false;
        }
        memcpy(record, bytes.data(), bytes.size());
        take(*reinterpret_cast<const changelog_rec*>(record));
        ++count;
    }
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

}  // namespace sim
