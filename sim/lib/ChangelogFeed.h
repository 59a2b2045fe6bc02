// The stand-in MDT's changelog as Lustre's changelog device hands it out:
// records of the changelog store, packed in the layout the MDT writes them.
// The store is read here and nowhere else in the library.
#pragma once
#include <lustre/lustreapi.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "ChangelogStore.h"

namespace sim::lib {

// Hands take each record of mdt from index from on, packed (withExtraFlags:
// as a 2.11+ MDT writes it, with the extra-flags word), until take returns
// false; currentIndex gets the changelog's last index. Memory does not grow
// with the changelog's length. False with error when the store cannot be read.
[[nodiscard]] bool ReadChangelogRecords(const std::string& stateDir, const std::string& mdt, uint64_t from,
                                        bool withExtraFlags,
                                        const std::function<bool(const changelog_rec& record)>& take,
                                        uint64_t& currentIndex, std::string& error);

// Text that changes whenever the store of mdt does (empty while it has none).
std::string ChangelogStamp(const std::string& stateDir, const std::string& mdt);

// Packs record into out (CR_MAXSIZE bytes, 8-aligned) and returns its size:
// the fixed record, RENAME or VERSION, JOBID for a non-empty job id, and with
// withExtraFlags the extra-flags word with the record's parts. Names and the
// job id are cut to what the layout holds; an unreadable NID packs as 0.
size_t PackChangelogRecord(const ChangelogRecord& record, bool withExtraFlags, char* out);

// A NID's text ("10.0.0.1@tcp", "0@lo", "5@gni1", "0@<0:0>") as the 64-bit
// number Lustre keeps. False for text of no known network.
[[nodiscard]] bool ParseNid(const std::string& text, uint64_t& nid);

// The open flags a record's m= text stands for: "r--" 01, "-w-" 02, "rw-"
// 03, "--x" 04; 0 for anything else.
uint32_t OpenFlagsOfMode(const std::string& mode);

}  // namespace sim::lib
