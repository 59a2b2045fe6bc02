// The changelog of each MDT as the stand-in keeps it in its state store: the
// registered users (readers), the counters, and the records, each record
// kept under its MDT and index as the bytes the model packed
// (sim/model/ChangelogFeed.h). Shared by the stand-in tools and library.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "StateDb.h"

namespace sim {

struct ChangelogUser {
    int id = 0;
    uint64_t endrec = 0;    // last record the user has cleared
    int64_t clearTime = 0;  // seconds since the epoch of the last clear
    std::string name;       // 2.15+ named user (at most 15 characters)
    bool extended = false;  // registered with a name or a mask: the listing shows its mask
    uint32_t mask = 0;
};

// An MDT's readers and counters, without its records.
struct MdtChangelog {
    int lastUser = 0;    // the last id handed out; ids are never reused while the MDT lives
    uint64_t index = 0;  // the last record index used; 0 before the first record
    std::vector<ChangelogUser> users;
    bool purge = false;  // set by Purge, done by ChangelogStore::SaveHead

    ChangelogUser* FindUser(int id);
    // Asks the next save to drop the records no remaining user still needs:
    // all of them when no user is left, otherwise those up to the smallest
    // user index.
    void Purge() { purge = true; }
};

// The MDT's clear of reader id up to endrec (mdd_changelog_clear): 0 or a
// negative errno.
//  - endrec beyond the current index: -EINVAL, before the reader is looked up;
//  - endrec 0 means the current index;
//  - an unknown reader: -ENOENT;
//  - endrec below the reader's index: -EINVAL, or -ENOENT where
//    backwardIsNoEntry (servers after 2.17);
//  - endrec equal to it: nothing changes;
//  - otherwise the reader's index becomes endrec, its idle time restarts
//    (now), and the records no reader still needs are to be purged.
int ClearReader(MdtChangelog& log, uint32_t id, uint64_t endrec, int64_t now, bool backwardIsNoEntry);

// One MDT's changelog in a store. Every call is a keyed operation: its cost
// does not depend on how many records are kept. Callers run it inside a
// sim::Transaction (a writing one for SaveHead and Append); a call that
// fails returns false and fails the transaction, with the reason in
// StateDb::Failure().
class ChangelogStore {
public:
    ChangelogStore(StateDb& db, std::string mdt) : m_db(db), m_mdt(std::move(mdt)) {}

    // The readers and counters; an MDT never written has none.
    [[nodiscard]] bool LoadHead(MdtChangelog& log);
    // Writes the readers and counters as given (a reader missing from
    // log.users is deregistered), then purges if log.purge is set.
    [[nodiscard]] bool SaveHead(const MdtChangelog& log);

    // Appends a record's bytes under index, which becomes the current index.
    [[nodiscard]] bool Append(uint64_t index, const std::string& record);
    // The bytes of up to limit records with an index of at least start, in
    // index order. Records before start are not read.
    [[nodiscard]] bool Read(uint64_t start, size_t limit, std::vector<std::string>& records);
    // The last index used (0 before the first record).
    [[nodiscard]] bool CurrentIndex(uint64_t& index);
    // The index of the oldest record kept, 0 when none is.
    [[nodiscard]] bool FirstKept(uint64_t& index);

private:
    StateDb& m_db;
    std::string m_mdt;
};

// The stand-in clock: the seconds stored by "lustre-sim set-time" in
// <stateDir>/changelog/clock, or the real time when there is none.
int64_t SimNow(const std::string& stateDir);
[[nodiscard]] bool SetSimNow(const std::string& stateDir, int64_t seconds, std::string& error);

}  // namespace sim
