// Reader of the record text that "lfs changelog" prints, in the format of
// every Lustre version:
//   INDEX NNTYPE HH:MM:SS.NANOS YYYY.MM.DD 0xFLAGS t=FID [j=JOB] [ef=0xEF]
//     [u=UID:GID] [nid=NID] [m=MODE] [x=XATTR] [p=FID] [NAME]
//     [s=FID sp=FID SNAME]
// The nanoseconds have 9 digits from 2.10 on and at least 6 before; versions
// up to 2.10 print neither ef= nor u= nor nid=. Names run to the text's end
// and may hold blanks and line breaks (a record's text is then more than one
// line); so may the xattr name, printed only on records without a name, and
// the job id (at most 31 bytes).
#pragma once
#include <cstddef>

#include "LustreAPI.h"

namespace LustreAPI {

// In what a record's text ends: a field of fixed form (the FID, ef=, u=,
// nid=, m=, p=), or a text a user chose, which more text might continue.
enum class RecordTextEnd { Field, JobId, Xattr, Name, SourceName };

// Reads the record in [text, text + length), without its final line end,
// into record, which the caller passes default-constructed: the fields the
// text does not carry keep their defaults. True when it is a record; on false
// record holds a partial result and must be discarded. end, when given, gets
// what the text ends in.
[[nodiscard]] bool ReadChangelogRecordText(const char* text, std::size_t length, CChangelogRecord& record,
                                           RecordTextEnd* end = nullptr);

// Whether [text, text + length) begins as a record does (index, type, time,
// flags and t=FID, then a blank or the end), and its index. The first line
// of every record's text does.
[[nodiscard]] bool ReadChangelogRecordHead(const char* text, std::size_t length, unsigned long long& index);

}  // namespace LustreAPI
