#include "ChangelogFeed.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace sim::lib {
namespace {

constexpr size_t kNameMax = 255;

struct NetType {
    const char* name;
    uint32_t type;
    bool dotted;  // the address is an IPv4 address
};

const NetType kNetTypes[] = {
    {"tcp", 2, true}, {"o2ib", 5, true}, {"lo", 9, false}, {"gni", 13, false}, {"kfi", 16, false}};

bool Number(const char* begin, const char* end, uint32_t& value)
{
    auto [ptr, ec] = std::from_chars(begin, end, value);
    return ec == std::errc() && ptr == end && begin != end;
}

bool Dotted(const std::string& text, uint32_t& addr)
{
    addr = 0;
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t dot = i < 3 ? text.find('.', pos) : text.size();
        uint32_t byte = 0;
        if (dot == std::string::npos || !Number(text.data() + pos, text.data() + dot, byte) || byte > 255) return false;
        addr = addr << 8 | byte;
        pos = dot + 1;
    }
    return true;
}

void CopyFid(lu_fid& to, const Fid& from)
{
    to.f_seq = from.seq;
    to.f_oid = from.oid;
    to.f_ver = from.ver;
}

}  // namespace

bool ParseNid(const std::string& text, uint64_t& nid)
{
    const size_t at = text.find('@');
    if (at == std::string::npos) return false;
    const std::string addrText = text.substr(0, at), net = text.substr(at + 1);
    uint32_t type = 0, num = 0, addr = 0;
    bool dotted = false;
    if (net.size() > 2 && net.front() == '<' && net.back() == '>') {
        const size_t colon = net.find(':');
        if (colon == std::string::npos || !Number(net.data() + 1, net.data() + colon, type) ||
            !Number(net.data() + colon + 1, net.data() + net.size() - 1, num))
            return false;
    } else {
        const NetType* found = nullptr;
        for (const NetType& t : kNetTypes) {
            const size_t len = strlen(t.name);
            if (net.compare(0, len, t.name) != 0) continue;
            if (net.size() > len && !Number(net.data() + len, net.data() + net.size(), num)) continue;
            found = &t;
        }
        if (!found || num > 0xffff) return false;
        type = found->type;
        dotted = found->dotted;
    }
    if (type > 0xffff || num > 0xffff) return false;
    if (dotted ? !Dotted(addrText, addr) : !Number(addrText.data(), addrText.data() + addrText.size(), addr))
        return false;
    nid = static_cast<uint64_t>(type << 16 | num) << 32 | addr;
    return true;
}

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
        if ((xflags & CLFE_NID) && ParseNid(r.nid, nid)) changelog_rec_nid(rec)->cr_nid = nid;
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
