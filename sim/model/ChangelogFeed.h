// A changelog record as the stand-in's MDT writes it. Whoever makes records
// (lustre-sim, the watcher, populate) fills a ChangelogRecord; the model
// refuses what Lustre's record cannot hold and packs the rest, once, into
// the binary changelog_rec a 2.11+ MDT writes (with the extra-flags word).
// The store keeps those bytes, llapi_changelog_recv hands them out (cut to
// what the reader asked for), and lfs prints from them.
#pragma once
#include <lustre/lustreapi.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChangelogStore.h"
#include "StateDb.h"

namespace sim {

// 0@lo: the NID of a record made on the server itself.
constexpr uint64_t kLoNid = uint64_t{9} << 48;

struct ChangelogRecord {
    uint64_t index = 0;  // set by AppendChangelogRecord
    int type = 0;
    uint32_t flags = 0;  // the type's own low bits (CLF_FLAGMASK)
    int64_t sec = 0;
    uint32_t nsec = 0;
    lu_fid tfid{};
    lu_fid pfid{};
    std::string jobid;     // at most LUSTRE_JOBID_SIZE - 1 bytes
    bool hasExtra = true;  // the record carries the extra-flags word
    // The parts of the extra-flags word; unset, those the MDT writes for
    // the type (MdtExtraFlags).
    std::optional<uint64_t> extraFlags;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t nid = kLoNid;
    uint32_t openFlags = 0;  // MDS_FMODE_READ 01, _WRITE 02, _EXEC 04
    std::string xattr;       // at most XATTR_NAME_MAX bytes
    std::string name;        // at most NAME_MAX bytes
    bool rename = false;
    lu_fid sfid{};
    lu_fid spfid{};
    std::string sname;
};

// The extra parts a 2.12+ MDT writes into a record of type: the user's
// uid, gid and NID into every one, the open mode into OPEN records and the
// attribute name into XATTR ones (mdd_changelog_data_store, _ns_store).
uint64_t MdtExtraFlags(int type);

// Why an MDT could never write r, or "" when it could: a job id, name or
// extended attribute name longer than its field, an unknown record type,
// flags outside the type's bits, nanoseconds of a second or more; and, when
// the parts are the MDT's own, an open mode or attribute name in a record
// of a type that carries none.
std::string ChangelogRecordRefusal(const ChangelogRecord& r);

// The open flags of lfs's m= text: "r--" 01, "-w-" 02, "rw-" 03, "--x" 04,
// "---" or "" 0. False for any text lfs cannot print.
[[nodiscard]] bool OpenFlagsOfMode(const std::string& mode, uint32_t& flags);

// Packs r under the MDT's next index (set in r.index) and appends it. The
// caller has checked it with ChangelogRecordRefusal. False on a store failure.
[[nodiscard]] bool AppendChangelogRecord(ChangelogStore& store, ChangelogRecord& r);

// One MDT's records as the changelog device reads them, from its own
// connection to the state store (a source belongs to one thread).
class ChangelogSource {
public:
    // False with error when the store cannot be opened.
    [[nodiscard]] bool Open(const std::string& stateDir, const std::string& mdt, std::string& error);
    // Hands take up to limit records from index from on, in order, as
    // stored; count gets how many. False with error when the store cannot
    // be read or holds a record that is not one.
    [[nodiscard]] bool Read(uint64_t from, size_t limit, const std::function<void(const changelog_rec& record)>& take,
                            size_t& count, std::string& error);
    // The changelog's last index (0 before the first record).
    [[nodiscard]] bool CurrentIndex(uint64_t& index, std::string& error);

private:
    std::unique_ptr<StateDb> m_db;
    std::string m_mdt;
    std::vector<std::string> m_batch;
};

}  // namespace sim
