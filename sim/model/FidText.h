// FID text as liblustreapi reads and writes it.
#pragma once
#include <string>

#include <lustre/lustreapi.h>

namespace sim::lib {

// Reads "[seq:oid:ver]" as llapi_fid_parse does: leading blanks and any
// number of '[' skipped, each field with strtoull in base 0 (so a sign,
// blanks after a ':' and an empty field pass), one ']' consumed after a
// '['; what follows is left at *endptr. Returns 0, -EINVAL without the
// ':'s, or -ERANGE for a sequence of UINT64_MAX or an oid or version over
// 32 bits.
[[nodiscard]] int ParseFid(const char* text, lu_fid* fid, char** endptr = nullptr);

// Lustre's DFID text, "[0x200000400:0x1:0x0]"; a zero sequence prints "0".
std::string FormatFid(const lu_fid& fid);

// Sequence classes (Lustre's enum fid_seq).
constexpr unsigned long long kSeqRoot = 0x200000007ULL;
constexpr unsigned long long kSeqDotLustre = 0x200000002ULL;
constexpr unsigned long long kSeqNormal = 0x200000400ULL;
constexpr unsigned long long kSeqStart = 0x200000000ULL;
// Each MDT draws its sequences from a super-sequence 2^30 wide.
constexpr int kMdtSeqShift = 30;
// Object ids per sequence before a client moves to the next one.
constexpr unsigned kOidsPerSeq = 0x20000;

inline bool FidIsRoot(const lu_fid& f) { return f.f_seq == kSeqRoot && f.f_oid == 1 && f.f_ver == 0; }
inline bool FidIsIgif(const lu_fid& f) { return f.f_seq >= 12 && f.f_seq <= 0xffffffffULL; }
inline bool FidIsIdif(const lu_fid& f) { return f.f_seq >= 0x100000000ULL && f.f_seq <= 0x1ffffffffULL; }
inline bool FidIsNorm(const lu_fid& f) { return f.f_seq >= kSeqNormal; }
// fid_is_sane.
bool FidIsSane(const lu_fid& f);
// What fid2path accepts: normal, IGIF, the root or .lustre.
bool FidInNamespace(const lu_fid& f);

}  // namespace sim::lib
