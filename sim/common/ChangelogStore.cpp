#include "ChangelogStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include "SimConfig.h"

namespace sim {
namespace {

// Stored strings are single words: bytes outside '!'..'~' and '%' become
// %XX, and the empty string is "-" (a literal "-" is stored as "%2D").
std::string Encode(const std::string& text)
{
    if (text.empty()) return "-";
    if (text == "-") return "%2D";
    std::string out;
    for (unsigned char c : text) {
        if (c > ' ' && c < 0x7f && c != '%') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Decode(const std::string& word, std::string& text)
{
    text.clear();
    if (word == "-") return true;
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] != '%') {
            text += word[i];
            continue;
        }
        if (word.size() - i < 3) return false;
        const int hi = HexDigit(word[i + 1]), lo = HexDigit(word[i + 2]);
        if (hi < 0 || lo < 0) return false;
        text += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

template <typename T>
bool ParseNumber(const std::string& text, T& value, int base = 10)
{
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (base == 16) {
        if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
        begin += 2;
    }
    auto [ptr, ec] = std::from_chars(begin, end, value, base);
    return ec == std::errc() && ptr == end && begin != end;
}

// "0x<hex>" or decimal digits.
template <typename T>
bool ParseFidField(const std::string& text, T& value)
{
    if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return ParseNumber(text, value, 16);
    return ParseNumber(text, value, 10);
}

std::string Hex(uint64_t value)
{
    char buf[24];
    snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
    return buf;
}

bool WriteAtomically(const std::string& dir, const std::string& file, const std::string& content, std::string& error)
{
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot create " + dir + ": " + strerror(errno);
        return false;
    }
    return WriteFileAtomically(file, content, error);
}

// The blank-separated words of a stored line (a stream would cost more
// than the rest of reading a record).
std::vector<std::string> Words(const std::string& line)
{
    std::vector<std::string> words;
    words.reserve(19);
    for (size_t pos = 0; pos < line.size();) {
        const size_t blank = line.find_first_of(" \t\n", pos);
        const size_t end = blank == std::string::npos ? line.size() : blank;
        if (end > pos) words.emplace_back(line, pos, end - pos);
        pos = end + 1;
    }
    return words;
}

bool ReadRecord(const std::vector<std::string>& w, ChangelogRecord& r)
{
    // rec INDEX TYPE FLAGS SEC NSEC TFID PFID JOBID EF UID GID NID MODE XATTR NAME SFID SPFID SNAME
    if (w.size() != 19) return false;
    bool ok = ParseNumber(w[1], r.index) && ParseNumber(w[2], r.type) && ParseNumber(w[3], r.flags, 16) &&
              ParseNumber(w[4], r.sec) && ParseNumber(w[5], r.nsec) && ParseFid(w[6], r.tfid) &&
              ParseFid(w[7], r.pfid) && Decode(w[8], r.jobid) && ParseNumber(w[10], r.uid) &&
              ParseNumber(w[11], r.gid) && Decode(w[12], r.nid) && Decode(w[13], r.openMode) &&
              Decode(w[14], r.xattr) && Decode(w[15], r.name) && Decode(w[18], r.sname);
    if (!ok) return false;
    r.hasExtra = w[9] != "-";
    if (r.hasExtra && !ParseNumber(w[9], r.extraFlags, 16)) return false;
    r.rename = w[16] != "-";
    if (r.rename && !(ParseFid(w[16], r.sfid) && ParseFid(w[17], r.spfid))) return false;
    return true;
}

}  // namespace

std::string FormatFid(const Fid& fid)
{
    char buf[64];
    snprintf(buf, sizeof buf, "[%#llx:0x%x:0x%x]", static_cast<unsigned long long>(fid.seq), fid.oid, fid.ver);
    return buf;
}

bool ParseFid(const std::string& text, Fid& fid)
{
    std::string body = text;
    if (!body.empty() && body.front() == '[') {
        if (body.size() < 2 || body.back() != ']') return false;
        body = body.substr(1, body.size() - 2);
    }
    const size_t a = body.find(':');
    const size_t b = a == std::string::npos ? a : body.find(':', a + 1);
    if (b == std::string::npos || body.find(':', b + 1) != std::string::npos) return false;
    Fid f;
    if (!ParseFidField(body.substr(0, a), f.seq) || !ParseFidField(body.substr(a + 1, b - a - 1), f.oid) ||
        !ParseFidField(body.substr(b + 1), f.ver))
        return false;
    fid = f;
    return true;
}

ChangelogUser* MdtChangelog::FindUser(int id)
{
    for (auto& u : users)
        if (u.id == id) return &u;
    return nullptr;
}

std::string RecordLine(const ChangelogRecord& r)
{
    std::ostringstream out;
    out << "rec " << r.index << " " << r.type << " " << Hex(r.flags) << " " << r.sec << " " << r.nsec << " "
        << FormatFid(r.tfid) << " " << FormatFid(r.pfid) << " " << Encode(r.jobid) << " "
        << (r.hasExtra ? Hex(r.extraFlags) : "-") << " " << r.uid << " " << r.gid << " " << Encode(r.nid) << " "
        << Encode(r.openMode) << " " << Encode(r.xattr) << " " << Encode(r.name) << " "
        << (r.rename ? FormatFid(r.sfid) : "-") << " " << (r.rename ? FormatFid(r.spfid) : "-") << " "
        << Encode(r.sname);
    return out.str();
}

bool ParseRecordLine(const std::string& line, ChangelogRecord& record)
{
    const std::vector<std::string> w = Words(line);
    return !w.empty() && w[0] == "rec" && ReadRecord(w, record);
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

int ChangelogStore::Clear(uint32_t id, uint64_t endrec, int64_t now, bool backwardIsNoEntry)
{
    MdtChangelog log;
    if (!LoadHead(log)) return -EIO;
    const int rc = ClearReader(log, id, endrec, now, backwardIsNoEntry);
    if (rc != 0) return rc;
    return SaveHead(log) ? 0 : -EIO;
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

bool ChangelogStore::Append(ChangelogRecord& record)
{
    uint64_t index = 0;
    if (!CurrentIndex(index)) return false;
    record.index = index + 1;
    Query(m_db,
          "INSERT INTO changelog_mdt(mdt, last_user, idx) VALUES(?1, 0, ?2) "
          "ON CONFLICT(mdt) DO UPDATE SET idx = excluded.idx")
        .Bind(1, m_mdt)
        .BindU(2, record.index)
        .Run();
    Query(m_db, "INSERT INTO changelog_record(mdt, idx, line) VALUES(?1, ?2, ?3)")
        .Bind(1, m_mdt)
        .BindU(2, record.index)
        .Bind(3, RecordLine(record))
        .Run();
    return m_db.Failure().empty();
}

bool ChangelogStore::Read(uint64_t start, size_t limit, std::vector<ChangelogRecord>& records)
{
    records.clear();
    if (limit == 0 || start > INT64_MAX) return m_db.Failure().empty();
    Query q(m_db, "SELECT line FROM changelog_record WHERE mdt = ?1 AND idx >= ?2 ORDER BY idx LIMIT ?3");
    q.Bind(1, m_mdt).BindU(2, start).Bind(3, static_cast<int64_t>(std::min<size_t>(limit, INT64_MAX)));
    while (q.Step()) {
        ChangelogRecord r;
        const std::string line = q.Text(0);
        if (!ParseRecordLine(line, r)) {
            m_db.Fail("cannot read record '" + line + "' of " + m_mdt);
            return false;
        }
        records.push_back(std::move(r));
    }
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
        if (ParseNumber(text, seconds)) return seconds;
    }
    return static_cast<int64_t>(time(nullptr));
}

bool SetSimNow(const std::string& stateDir, int64_t seconds, std::string& error)
{
    return WriteAtomically(stateDir + "/changelog", ClockFile(stateDir), std::to_string(seconds) + "\n", error);
}

}  // namespace sim
