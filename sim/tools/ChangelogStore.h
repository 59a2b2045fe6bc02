// The changelog of each MDT as the stand-in tools keep it: the registered
// users and the records, one file per MDT under <state>/changelog/.
// Callers hold sim::StateLock around a load-modify-save sequence.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

struct Fid {
    uint64_t seq = 0;
    uint32_t oid = 0;
    uint32_t ver = 0;
    bool IsZero() const { return seq == 0 && oid == 0 && ver == 0; }
};

// Lustre's DFID text: "[%#llx:0x%x:0x%x]", so a zero sequence prints as "0".
std::string FormatFid(const Fid& fid);
// Three ':'-separated numbers, with or without the brackets; each number is
// "0x" followed by hex digits, or decimal digits. Out-of-range fields fail.
[[nodiscard]] bool ParseFid(const std::string& text, Fid& fid);

struct ChangelogUser {
    int id = 0;
    uint64_t endrec = 0;    // last record the user has cleared
    int64_t clearTime = 0;  // seconds since the epoch of the last clear
    std::string name;       // 2.15+ named user (at most 15 characters)
    bool extended = false;  // registered with a name or a mask: the listing shows its mask
    uint32_t mask = 0;
};

struct ChangelogRecord {
    uint64_t index = 0;
    int type = 0;
    uint32_t flags = 0;
    int64_t sec = 0;
    uint32_t nsec = 0;
    Fid tfid;
    Fid pfid;
    std::string jobid;
    bool hasExtra = true;  // the record carries extra flags (ef=)
    uint64_t extraFlags = 0xf;
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::string nid = "0@lo";
    std::string openMode;  // m=, printed when set and ef has CLFE_OPEN
    std::string xattr;     // x=, printed when set and ef has CLFE_XATTR
    std::string name;
    bool rename = false;
    Fid sfid;
    Fid spfid;
    std::string sname;
};

struct MdtChangelog {
    int lastUser = 0;    // the last id handed out; ids are never reused while the MDT lives
    uint64_t index = 0;  // the last record index used; 0 before the first record
    std::vector<ChangelogUser> users;
    std::vector<ChangelogRecord> records;

    ChangelogUser* FindUser(int id);
    // Drops the records no remaining user still needs: all of them when no
    // user is left, otherwise those up to the smallest user index.
    void Purge();
};

// <stateDir>/changelog, created on demand.
std::string ChangelogDir(const std::string& stateDir);

// A missing file is an empty changelog. A malformed file is an error.
[[nodiscard]] bool LoadChangelog(const std::string& stateDir, const std::string& mdt, MdtChangelog& log,
                                 std::string& error);
[[nodiscard]] bool SaveChangelog(const std::string& stateDir, const std::string& mdt, const MdtChangelog& log,
                                 std::string& error);

// Reads the records of mdt whose index is at least from, in order, and hands
// each to take until take returns false; index gets the MDT's current index.
// Holds one record at a time, whatever the changelog's length. Takes no
// lock: the file is only ever replaced whole, so a scan sees one version.
[[nodiscard]] bool ScanChangelog(const std::string& stateDir, const std::string& mdt, uint64_t from,
                                 const std::function<bool(const ChangelogRecord&)>& take, uint64_t& index,
                                 std::string& error);

// The stand-in clock: the seconds stored by "lustre-sim set-time" in
// <stateDir>/changelog/clock, or the real time when there is none.
int64_t SimNow(const std::string& stateDir);
[[nodiscard]] bool SetSimNow(const std::string& stateDir, int64_t seconds, std::string& error);

}  // namespace sim
