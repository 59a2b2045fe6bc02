// Reader of the record lines that "lfs changelog" prints, in the format of
// every Lustre version:
//   INDEX NNTYPE HH:MM:SS.NANOS YYYY.MM.DD 0xFLAGS t=FID [j=JOB] [ef=0xEF]
//     [u=UID:GID] [nid=NID] [m=MODE] [x=XATTR] [p=FID] [NAME]
//     [s=FID sp=FID SNAME]
// The nanoseconds have 9 digits from 2.10 on and at least 6 before; versions
// up to 2.10 print neither ef= nor u= nor nid=. Names run to the line's end
// and may hold blanks.
#pragma once
#include <cstddef>

#include "LustreAPI.h"

namespace LustreAPI {

// Reads the record in [text, text + length), a line without its line end,
// into record, which the caller passes default-constructed: the fields the
// line does not carry keep their defaults. True when it is a record; on false
// record holds a partial result and must be discarded.
[[nodiscard]] bool ReadChangelogRecordText(const char* text, std::size_t length, CChangelogRecord& record);

}  // namespace LustreAPI
