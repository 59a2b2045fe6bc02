#include "StateDb.h"

#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

namespace sim {
namespace {

constexpr int kSchemaVersion = 2;
// How long a writer waits for another one before it gives up.
constexpr int kBusyTimeoutMs = 120000;

// The tables. FIDs are kept as (sequence, object id); 64-bit unsigned
// numbers as their two's complement.
const char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS counter(name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS fid_next(fs TEXT, mdt INTEGER, seq INTEGER NOT NULL, oid INTEGER NOT NULL,
  PRIMARY KEY(fs, mdt)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS fid(fs TEXT, seq INTEGER, oid INTEGER, dev INTEGER NOT NULL, ino INTEGER NOT NULL,
  btime INTEGER NOT NULL, rel TEXT NOT NULL, PRIMARY KEY(fs, seq, oid));
CREATE INDEX IF NOT EXISTS fid_object ON fid(fs, dev, ino);
CREATE INDEX IF NOT EXISTS fid_path ON fid(fs, rel);
CREATE TABLE IF NOT EXISTS hsm_file(fs TEXT, seq INTEGER, oid INTEGER, flags INTEGER NOT NULL,
  archive_id INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, size INTEGER NOT NULL,
  PRIMARY KEY(fs, seq, oid)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS hsm_action(cookie INTEGER PRIMARY KEY, compound INTEGER NOT NULL,
  started INTEGER NOT NULL, owner TEXT NOT NULL, fs TEXT NOT NULL, action INTEGER NOT NULL,
  archive_id INTEGER NOT NULL, flags INTEGER NOT NULL, seq INTEGER NOT NULL, oid INTEGER NOT NULL,
  ver INTEGER NOT NULL, extent_offset INTEGER NOT NULL, extent_length INTEGER NOT NULL, data BLOB NOT NULL,
  copied_offset INTEGER NOT NULL, copied_length INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS hsm_action_file ON hsm_action(fs, seq, oid, ver);
CREATE INDEX IF NOT EXISTS hsm_action_queue ON hsm_action(fs, started, cookie);
CREATE INDEX IF NOT EXISTS hsm_action_request ON hsm_action(fs, compound, started);
CREATE INDEX IF NOT EXISTS hsm_action_owner ON hsm_action(started, owner);
CREATE TABLE IF NOT EXISTS changelog_mdt(mdt TEXT PRIMARY KEY, last_user INTEGER NOT NULL,
  idx INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS changelog_user(mdt TEXT, id INTEGER, endrec INTEGER NOT NULL,
  clear_time INTEGER NOT NULL, name TEXT NOT NULL, extended INTEGER NOT NULL, mask INTEGER NOT NULL,
  PRIMARY KEY(mdt, id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS changelog_record(mdt TEXT, idx INTEGER, rec BLOB NOT NULL,
  PRIMARY KEY(mdt, idx)) WITHOUT ROWID;
)";

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The first file of an older stand-in's text state, or "".
std::string OldStateFile(const std::string& stateDir)
{
    for (const char* name : {"lib/fids", "lib/hsm"})
        if (Exists(stateDir + "/" + name)) return name;
    DIR* dir = opendir((stateDir + "/changelog").c_str());
    if (!dir) return "";
    std::string found;
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != ".." && name != "clock" && name.find(".tmp.") == std::string::npos) {
            found = "changelog/" + name;
            break;
        }
    }
    closedir(dir);
    return found;
}

}  // namespace

std::unique_ptr<StateDb> StateDb::Open(const std::string& stateDir, std::string& error)
{
    const std::string file = stateDir + "/state.db";
    if (!Exists(file)) {
        const std::string old = OldStateFile(stateDir);
        if (!old.empty()) {
            error = stateDir + " holds the state of an older stand-in (" + old +
                    "), which this one does not read: make a new state directory with 'lustre-sim init DIR' "
                    "and set it up again";
            return nullptr;
        }
    }
    sqlite3* handle = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &handle,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        error = "cannot open " + file + ": " + (handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc));
        sqlite3_close(handle);
        return nullptr;
    }
    std::unique_ptr<StateDb> db(new StateDb(handle, stateDir));
    sqlite3_busy_timeout(handle, kBusyTimeoutMs);
    // WAL: readers never wait for the writer, and a commit is one append.
    // NORMAL synchronisation keeps every commit through the death of a
    // process (not of the machine), which is what the stand-in promises.
    int version = 0;
    {
        Query q(*db, "PRAGMA user_version");
        if (q.Step()) version = static_cast<int>(q.Int(0));
    }
    if (version > kSchemaVersion) {
        error = file + " was made by a newer stand-in (version " + std::to_string(version) + ")";
        return nullptr;
    }
    if (version != 0 && version < kSchemaVersion) {
        error = file + " was made by an older stand-in (version " + std::to_string(version) +
                "), which this one does not read: make a new state directory with 'lustre-sim init DIR' "
                "and set it up again";
        return nullptr;
    }
    const bool ok = db->Exec("PRAGMA journal_mode=WAL") && db->Exec("PRAGMA synchronous=NORMAL");
    if (ok && version < kSchemaVersion) {
        Transaction tx(*db);
        if (tx.Begun()) {
            db->Exec(kSchema);
            db->Exec("PRAGMA user_version=2");
        }
        if (!tx.Commit()) {
            error = "cannot set up " + file + ": " + tx.Error();
            return nullptr;
        }
    }
    if (!db->Failure().empty()) {
        error = "cannot set up " + file + ": " + db->Failure();
        return nullptr;
    }
    return db;
}

StateDb::~StateDb()
{
    for (auto& [sql, stmt] : m_statements) sqlite3_finalize(stmt);
    sqlite3_close(m_db);
}

void StateDb::Fail(const std::string& what)
{
    if (m_failure.empty()) m_failure = what;
}

sqlite3_stmt* StateDb::Prepare(const char* sql)
{
    auto it = m_statements.find(sql);
    if (it != m_statements.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        Fail(std::string(sqlite3_errmsg(m_db)) + " in '" + sql + "'");
        return nullptr;
    }
    m_statements[sql] = stmt;
    return stmt;
}

bool StateDb::Exec(const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    Fail(message ? message : sqlite3_errmsg(m_db));
    sqlite3_free(message);
    return false;
}

Query::Query(StateDb& db, const char* sql) : m_db(db), m_stmt(db.Prepare(sql)) {}

Query::~Query()
{
    if (!m_stmt) return;
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

Query& Query::Bind(int index, int64_t value)
{
    if (m_stmt) sqlite3_bind_int64(m_stmt, index, value);
    return *this;
}

Query& Query::Bind(int index, const std::string& value)
{
    if (m_stmt) sqlite3_bind_text(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
}

Query& Query::BindBlob(int index, const std::string& bytes)
{
    if (m_stmt) sqlite3_bind_blob(m_stmt, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    return *this;
}

bool Query::Step()
{
    if (!m_stmt) return false;
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) m_db.Fail(sqlite3_errmsg(m_db.m_db));
    return false;
}

bool Query::Run()
{
    if (!m_stmt) return false;
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_DONE || rc == SQLITE_ROW) return true;
    m_db.Fail(sqlite3_errmsg(m_db.m_db));
    return false;
}

int64_t Query::Int(int column) const { return sqlite3_column_int64(m_stmt, column); }

std::string Query::Text(int column) const
{
    const void* data = sqlite3_column_blob(m_stmt, column);
    const int size = sqlite3_column_bytes(m_stmt, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size)) : std::string();
}

bool Query::IsNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }

Transaction::Transaction(StateDb& db, Kind kind) : m_db(db)
{
    m_db.m_failure.clear();
    m_begun = m_db.Exec(kind == kWrite ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction()
{
    if (m_begun) sqlite3_exec(m_db.m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool Transaction::Commit()
{
    if (!m_begun) return false;
    if (!m_db.m_failure.empty()) return false;  // the destructor rolls back
    if (!m_db.Exec("COMMIT")) return false;
    m_begun = false;
    return true;
}

}  // namespace sim
