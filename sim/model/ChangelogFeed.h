// The stand-in MDT's changelog as Lustre's changelog device hands it out:
// records of the changelog store, packed in the layout the MDT writes them.
// The store is read here and nowhere else in the library.
#pragma once
#include <lustre/lustreapi.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ChangelogStore.h"
#include "StateDb.h"

namespace sim::lib {

// One MDT's records as the device reads them, from its own connection to the
// state store (a source belongs to one thread).
class ChangelogSource {
public:
    // False with error when the store cannot be opened.
    [[nodiscard]] bool Open(const std::string& stateDir, const std::string& mdt, std::string& error);
    // Hands take up to limit records from index from on, in order, packed
    // (withExtraFlags: as a 2.11+ MDT writes them, with the extra-flags word);
    // count gets how many. False with error when the store cannot be read.
    [[nodiscard]] bool Read(uint64_t from, size_t limit, bool withExtraFlags,
                            const std::function<void(const changelog_rec& record)>& take, size_t& count,
                            std::string& error);
    // The changelog's last index (0 before the first record).
    [[nodiscard]] bool CurrentIndex(uint64_t& index, std::string& error);

private:
    std::unique_ptr<StateDb> m_db;
    std::string m_mdt;
    std::vector<ChangelogRecord> m_batch;
};

// Packs record into out (CR_MAXSIZE bytes, 8-aligned) and returns its size:
// the fixed record, RENAME or VERSION, JOBID for a non-empty job id, and with
// withExtraFlags the extra-flags word with the record's parts. Names and the
// job id are cut to what the layout holds. The NID's text is one
// common/NidText.h reads (the tools store no other); one it cannot read
// packs as 0.
size_t PackChangelogRecord(const ChangelogRecord& record, bool withExtraFlags, char* out);

// The open flags a record's m= text stands for: "r--" 01, "-w-" 02, "rw-"
// 03, "--x" 04; 0 for anything else.
uint32_t OpenFlagsOfMode(const std::string& mode);

}  // namespace sim::lib
