#include "ChangelogStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "SimConfig.h"
#include "WholeNumber.h"

namespace sim {
namespace {

bool WriteAtomically(const std::string& dir, const std::string& file, const std::string& content, std::string& error)
{
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot create " + dir + ": " + strerror(errno);
        return false;
    }
    return WriteFileAtomically(file, content, error);
}

}  // namespace

ChangelogUser* MdtChangelog::FindUser(int id)
{
    for (auto& u : users)
        if (u.id == id) return &u;
    return nullptr;
}

int ClearReader(MdtChangelog& log, uint32_t id, uint64_t endrec, int64_t now, bool backwardIsNoEntry)
{
    if (endrec > log.index) return -EINVAL;
    if (endrec == 0) endrec = log.index;
    ChangelogUser* user = log.FindUser(static_cast<int>(id));
    if (!user) return -ENOENT;
    if (user->endrec > endrec) return backwardIsNoEntry ? -ENOENT : -EINVAL;
    if (user->endrec == endrec) return 0;
    user->endrec = endrec;
    user->clearTime = now;
    log.Purge();
    return 0;
}

bool ChangelogStore::LoadHead(MdtChangelog& log)
{
    MdtChangelog result;
    {
        Query q(m_db, "SELECT last_user, idx FROM changelog_mdt WHERE mdt = ?1");
        q.Bind(1, m_mdt);
        if (q.Step()) {
            result.lastUser = static_cast<int>(q.Int(0));
            result.index = q.U(1);
        }
    }
    Query q(m_db, "SELECT id, endrec, clear_time, name, extended, mask FROM changelog_user WHERE mdt = ?1 ORDER BY id");
    q.Bind(1, m_mdt);
    while (q.Step()) {
        ChangelogUser u;
        u.id = static_cast<int>(q.Int(0));
        u.endrec = q.U(1);
        u.clearTime = q.Int(2);
        u.name = q.Text(3);
        u.extended = q.Int(4) != 0;
        u.mask = static_cast<uint32_t>(q.Int(5));
        result.users.push_back(u);
    }
    if (!m_db.Failure().empty()) return false;
    log = std::move(result);
    return true;
}

bool ChangelogStore::SaveHead(const MdtChangelog& log)
{
    Query(m_db, "INSERT OR REPLACE INTO changelog_mdt(mdt, last_user, idx) VALUES(?1, ?2, ?3)")
        .Bind(1, m_mdt)
        .Bind(2, log.lastUser)
        .BindU(3, log.index)
        .Run();
    Query(m_db, "DELETE FROM changelog_user WHERE mdt = ?1").Bind(1, m_mdt).Run();
    for (const auto& u : log.users)
        Query(m_db,
              "INSERT INTO changelog_user(mdt, id, endrec, clear_time, name, extended, mask) "
              "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)")
            .Bind(1, m_mdt)
            .Bind(2, u.id)
            .BindU(3, u.endrec)
            .Bind(4, u.clearTime)
            .Bind(5, u.name)
            .Bind(6, u.extended ? 1 : 0)
            .Bind(7, u.mask)
            .Run();
    if (log.purge) {
        uint64_t needed = UINT64_MAX;
        for (const auto& u : log.users) needed = std::min(needed, u.endrec);
        // The records are keyed by index: only the purged ones are visited.
        Query(m_db, "DELETE FROM changelog_record WHERE mdt = ?1 AND idx <= ?2")
            .Bind(1, m_mdt)
            .Bind(2, static_cast<int64_t>(std::min<uint64_t>(needed, INT64_MAX)))
            .Run();
    }
    return m_db.Failure().empty();
}

bool ChangelogStore::Append(uint64_t index, const std::string& record)
{
    Query(m_db,
          "INSERT INTO changelog_mdt(mdt, last_user, idx) VALUES(?1, 0, ?2) "
          "ON CONFLICT(mdt) DO UPDATE SET idx = excluded.idx")
        .Bind(1, m_mdt)
        .BindU(2, index)
        .Run();
    Query(m_db, "INSERT INTO changelog_record(mdt, idx, rec) VALUES(?1, ?2, ?3)")
        .Bind(1, m_mdt)
        .BindU(2, index)
        .BindBlob(3, record)
        .Run();
    return m_db.Failure().empty();
}

bool ChangelogStore::Read(uint64_t start, size_t limit, std::vector<std::string>& records)
{
    records.clear();
    if (limit == 0 || start > INT64_MAX) return m_db.Failure().empty();
    Query q(m_db, "SELECT rec FROM changelog_record WHERE mdt = ?1 AND idx >= ?2 ORDER BY idx LIMIT ?3");
    q.Bind(1, m_mdt).BindU(2, start).Bind(3, static_cast<int64_t>(std::min<size_t>(limit, INT64_MAX)));
    while (q.Step()) records.push_back(q.Text(0));
    return m_db.Failure().empty();
}

bool ChangelogStore::CurrentIndex(uint64_t& index)
{
    Query q(m_db, "SELECT idx FROM changelog_mdt WHERE mdt = ?1");
    q.Bind(1, m_mdt);
    index = q.Step() ? q.U(0) : 0;
    return m_db.Failure().empty();
}

bool ChangelogStore::FirstKept(uint64_t& index)
{
    Query q(m_db, "SELECT idx FROM changelog_record WHERE mdt = ?1 ORDER BY idx LIMIT 1");
    q.Bind(1, m_mdt);
    index = q.Step() ? q.U(0) : 0;
    return m_db.Failure().empty();
}

namespace {

std::string ClockFile(const std::string& stateDir) { return stateDir + "/changelog/clock"; }

}  // namespace

int64_t SimNow(const std::string& stateDir)
{
    std::string text;
    int64_t seconds = 0;
    if (ReadFileText(ClockFile(stateDir), text)) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        if (common::WholeNumber(text, seconds)) return seconds;
    }
    return static_cast<int64_t>(time(nullptr));
}

bool SetSimNow(const std::string& stateDir, int64_t seconds, std::string& error)
{
    return WriteAtomically(stateDir + "/changelog", ClockFile(stateDir), std::to_string(seconds) + "\n", error);
}

}  // namespace sim
