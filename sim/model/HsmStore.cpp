#include "HsmStore.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

namespace sim::lib {

bool SameFid(const lu_fid& a, const lu_fid& b)
{
    return a.f_seq == b.f_seq && a.f_oid == b.f_oid && a.f_ver == b.f_ver;
}

bool HsmStore::Load(const Context& ctx)
{
    m_db = ctx.db;
    return m_db != nullptr;
}

bool HsmStore::Save(const Context& ctx)
{
    (void)ctx;
    if (!m_db) return false;
    for (const auto& [key, f] : m_files)
        Query(*m_db,
              "INSERT OR REPLACE INTO hsm_file(fs, seq, oid, flags, archive_id, mtime_ns, size) "
              "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)")
            .Bind(1, f.fs)
            .BindU(2, f.fid.f_seq)
            .Bind(3, f.fid.f_oid)
            .Bind(4, f.flags)
            .Bind(5, f.archiveId)
            .Bind(6, f.mtimeNs)
            .Bind(7, f.size)
            .Run();
    for (unsigned long long cookie : m_removed)
        Query(*m_db, "DELETE FROM hsm_action WHERE cookie = ?1").BindU(1, cookie).Run();
    for (const auto& [cookie, a] : m_actions)
        Query(*m_db,
              "INSERT OR REPLACE INTO hsm_action(cookie, compound, started, owner, fs, action, archive_id, flags, "
              "seq, oid, ver, extent_offset, extent_length, data, copied_offset, copied_length) "
              "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)")
            .BindU(1, a.cookie)
            .BindU(2, a.compound)
            .Bind(3, a.started ? 1 : 0)
            .Bind(4, a.owner)
            .Bind(5, a.fs)
            .Bind(6, a.action)
            .Bind(7, a.archiveId)
            .BindU(8, a.flags)
            .BindU(9, a.fid.f_seq)
            .Bind(10, a.fid.f_oid)
            .Bind(11, a.fid.f_ver)
            .BindU(12, a.extentOffset)
            .BindU(13, a.extentLength)
            .BindBlob(14, a.data)
            .BindU(15, a.copiedOffset)
            .BindU(16, a.copiedLength)
            .Run();
    m_removed.clear();
    return m_db->Failure().empty();
}

FileHsm* HsmStore::FindFile(const std::string& fs, const lu_fid& fid)
{
    // Only version 0 is ever stored: a file's state belongs to its object.
    const FileKey key{fs, fid.f_seq, fid.f_oid};
    auto it = m_files.find(key);
    if (it != m_files.end()) return &it->second;
    if (m_missing.count(key)) return nullptr;
    Query q(*m_db, "SELECT flags, archive_id, mtime_ns, size FROM hsm_file WHERE fs = ?1 AND seq = ?2 AND oid = ?3");
    q.Bind(1, fs).BindU(2, fid.f_seq).Bind(3, fid.f_oid);
    if (!q.Step()) {
        m_missing[key] = true;
        return nullptr;
    }
    FileHsm f;
    f.fs = fs;
    f.fid = {fid.f_seq, fid.f_oid, 0};
    f.flags = static_cast<unsigned>(q.Int(0));
    f.archiveId = static_cast<unsigned>(q.Int(1));
    f.mtimeNs = q.Int(2);
    f.size = q.Int(3);
    return &m_files.emplace(key, f).first->second;
}

FileHsm& HsmStore::File(const std::string& fs, const lu_fid& fid)
{
    if (FileHsm* f = FindFile(fs, fid)) return *f;
    FileHsm f;
    f.fs = fs;
    f.fid = {fid.f_seq, fid.f_oid, 0};
    const FileKey key{fs, fid.f_seq, fid.f_oid};
    m_missing.erase(key);
    return m_files.emplace(key, f).first->second;
}

// The action of q's current row ("SELECT *"), from the cache when it was
// read before (the cached one may have been changed).
Action* HsmStore::Cache(Query& q)
{
    const unsigned long long cookie = q.U(0);
    auto it = m_actions.find(cookie);
    if (it != m_actions.end()) return &it->second;
    if (std::find(m_removed.begin(), m_removed.end(), cookie) != m_removed.end()) return nullptr;
    Action a;
    a.cookie = cookie;
    a.compound = q.U(1);
    a.started = q.Int(2) != 0;
    a.owner = q.Text(3);
    a.fs = q.Text(4);
    a.action = static_cast<unsigned>(q.Int(5));
    a.archiveId = static_cast<unsigned>(q.Int(6));
    a.flags = q.U(7);
    a.fid = {q.U(8), static_cast<unsigned>(q.Int(9)), static_cast<unsigned>(q.Int(10))};
    a.extentOffset = q.U(11);
    a.extentLength = q.U(12);
    a.data = q.Text(13);
    a.copiedOffset = q.U(14);
    a.copiedLength = q.U(15);
    return &m_actions.emplace(cookie, a).first->second;
}

std::vector<Action*> HsmStore::ReadActions(Query& q)
{
    std::vector<Action*> out;
    while (q.Step())
        if (Action* a = Cache(q)) out.push_back(a);
    return out;
}

std::vector<Action*> HsmStore::ActionsOf(const std::string& fs, const lu_fid& fid)
{
    Query q(*m_db, "SELECT * FROM hsm_action WHERE fs = ?1 AND seq = ?2 AND oid = ?3 AND ver = ?4 ORDER BY cookie");
    q.Bind(1, fs).BindU(2, fid.f_seq).Bind(3, fid.f_oid).Bind(4, fid.f_ver);
    std::vector<Action*> out = ReadActions(q);
    // Actions added since Load are not stored yet.
    for (auto& [cookie, a] : m_actions)
        if (a.fs == fs && SameFid(a.fid, fid) && std::find(out.begin(), out.end(), &a) == out.end()) out.push_back(&a);
    std::sort(out.begin(), out.end(), [](const Action* x, const Action* y) { return x->cookie < y->cookie; });
    return out;
}

Action* HsmStore::WaitingHead(const std::string& fs, int64_t& after)
{
    for (;;) {
        Action* a = nullptr;
        {
            Query q(*m_db,
                    "SELECT * FROM hsm_action WHERE fs = ?1 AND started = 0 AND cookie > ?2 ORDER BY cookie LIMIT 1");
            q.Bind(1, fs).Bind(2, after);
            if (!q.Step()) return nullptr;
            after = q.Int(0);
            a = Cache(q);
        }
        // The stored row may be out of date: a cached copy started or
        // removed since Load is not waiting.
        if (a && !a->started) return a;
    }
}

std::vector<std::string> HsmStore::Owners()
{
    std::vector<std::string> owners;
    Query q(*m_db, "SELECT DISTINCT owner FROM hsm_action WHERE started = 1");
    while (q.Step()) owners.push_back(q.Text(0));
    return owners;
}

void HsmStore::Requeue(const std::string& owner)
{
    Query(*m_db, "UPDATE hsm_action SET started = 0, owner = '' WHERE started = 1 AND owner = ?1").Bind(1, owner).Run();
    for (auto& [cookie, a] : m_actions)
        if (a.started && a.owner == owner) {
            a.started = false;
            a.owner.clear();
        }
}

void HsmStore::AddAction(const Action& action) { m_actions[action.cookie] = action; }

Action* HsmStore::FindAction(unsigned long long cookie)
{
    auto it = m_actions.find(cookie);
    if (it != m_actions.end()) return &it->second;
    Query q(*m_db, "SELECT * FROM hsm_action WHERE cookie = ?1");
    q.BindU(1, cookie);
    return q.Step() ? Cache(q) : nullptr;
}

void HsmStore::RemoveAction(unsigned long long cookie)
{
    m_actions.erase(cookie);
    m_removed.push_back(cookie);
}

unsigned long long HsmStore::NextCookie()
{
    return NextCounter("cookie", static_cast<unsigned long long>(time(nullptr)));
}

unsigned long long HsmStore::NextCounter(const char* name, unsigned long long first)
{
    unsigned long long value = first;
    {
        Query q(*m_db, "SELECT value FROM counter WHERE name = ?1");
        q.Bind(1, std::string(name));
        if (q.Step()) value = q.U(0);
    }
    Query(*m_db, "INSERT OR REPLACE INTO counter(name, value) VALUES(?1, ?2)")
        .Bind(1, std::string(name))
        .BindU(2, value + 1)
        .Run();
    return value;
}

}  // namespace sim::lib
