// The stand-in's keyed state store: one SQLite database, <state>/state.db,
// in write-ahead-log mode, holding the FIDs given out, the HSM state and
// queued actions, and each MDT's changelog. Every lookup or change is one
// keyed statement, so its cost does not grow with what the store holds.
//
// Any number of processes and threads share a store: each thread uses its
// own StateDb, and every change runs in a Transaction, which SQLite makes
// whole or absent even when the process is killed in the middle of it.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace sim {

class StateDb {
public:
    // Opens <stateDir>/state.db, creating it and its tables when missing.
    // A state directory that holds an older stand-in's text state (lib/fids,
    // lib/hsm or changelog/<MDT>) and no store is refused: error says how to
    // make a new one. Null on failure, with the reason in error.
    static std::unique_ptr<StateDb> Open(const std::string& stateDir, std::string& error);
    ~StateDb();
    StateDb(const StateDb&) = delete;
    StateDb& operator=(const StateDb&) = delete;

    const std::string& StateDir() const { return m_stateDir; }

    // The first failure since the current transaction began ("" when none):
    // a transaction with a failure does not commit.
    const std::string& Failure() const { return m_failure; }
    void Fail(const std::string& what);

private:
    friend class Query;
    friend class Transaction;
    StateDb(sqlite3* db, std::string stateDir) : m_db(db), m_stateDir(std::move(stateDir)) {}
    sqlite3_stmt* Prepare(const char* sql);
    bool Exec(const char* sql);

    sqlite3* m_db;
    std::string m_stateDir;
    std::string m_failure;
    std::map<const char*, sqlite3_stmt*> m_statements;  // by the text's address: SQL is literal text
};

// One statement, prepared once per StateDb and reused, so a statement's
// text must not be run again while a Query of it is alive. Parameters are
// numbered from 1, columns from 0. A failed step records the failure in
// the StateDb (and Step returns false).
class Query {
public:
    Query(StateDb& db, const char* sql);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& Bind(int index, int64_t value);
    Query& Bind(int index, const std::string& value);
    Query& BindBlob(int index, const std::string& bytes);
    // Unsigned 64-bit values are stored as their two's complement.
    Query& BindU(int index, uint64_t value) { return Bind(index, static_cast<int64_t>(value)); }

    // True while a row is available.
    bool Step();
    // Runs a statement that returns no rows; false on failure.
    bool Run();

    int64_t Int(int column) const;
    uint64_t U(int column) const { return static_cast<uint64_t>(Int(column)); }
    std::string Text(int column) const;
    bool IsNull(int column) const;

private:
    StateDb& m_db;
    sqlite3_stmt* m_stmt;
};

// A transaction on the store, rolled back unless committed. A writing
// transaction takes the store's write lock at once (waiting for other
// writers), so what it reads stays true until it commits. A reading one sees
// one consistent snapshot and never blocks writers.
class Transaction {
public:
    enum Kind { kWrite, kRead };
    explicit Transaction(StateDb& db, Kind kind = kWrite);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool Begun() const { return m_begun; }
    // False when the transaction did not begin, a statement in it failed, or
    // the commit failed; nothing is changed then. Error() says why.
    [[nodiscard]] bool Commit();
    const std::string& Error() const { return m_db.Failure(); }

private:
    StateDb& m_db;
    bool m_begun = false;
};

}  // namespace sim
