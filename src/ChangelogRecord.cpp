// Reader of the record lines that "lfs changelog" prints.
#include "ChangelogRecord.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>

namespace LustreAPI {
namespace {

constexpr int kRenameType = 8;        // RENME: the only records with a source part
constexpr long kLongestTypeName = 8;  // "RESYNC" is the longest so far
constexpr long kLongestJobId = 31;    // Lustre's 32-byte job id, its NUL excluded

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A position in the line; every step checks the end before it reads.
class Cursor {
public:
    Cursor(const char* begin, const char* end) : m_p(begin), m_end(end) {}

    const char* Position() const { return m_p; }
    void Restore(const char* position) { m_p = position; }
    bool AtEnd() const { return m_p == m_end; }
    const char* End() const { return m_end; }

    bool Skip(char c)
    {
        if (m_p == m_end || *m_p != c) return false;
        ++m_p;
        return true;
    }
    bool Skip(const char* literal, std::size_t length)
    {
        if (static_cast<std::size_t>(m_end - m_p) < length) return false;
        for (std::size_t i = 0; i < length; ++i)
            if (m_p[i] != literal[i]) return false;
        m_p += length;
        return true;
    }
    // One or more blanks.
    bool SkipBlanks()
    {
        const char* start = m_p;
        while (m_p != m_end && *m_p == ' ') ++m_p;
        return m_p != start;
    }
    // minDigits to maxDigits decimal digits, not followed by another digit,
    // as a number no greater than limit.
    template <typename T>
    bool Decimal(std::size_t minDigits, std::size_t maxDigits, T& value, T limit = std::numeric_limits<T>::max())
    {
        const char* start = m_p;
        while (m_p != m_end && IsDigit(*m_p) && static_cast<std::size_t>(m_p - start) < maxDigits) ++m_p;
        const std::size_t count = static_cast<std::size_t>(m_p - start);
        if (count < minDigits || (m_p != m_end && IsDigit(*m_p))) return false;
        T parsed{};
        const auto [end, ec] = std::from_chars(start, m_p, parsed);
        if (ec != std::errc() || end != m_p || parsed > limit) return false;
        value = parsed;
        return true;
    }
    // "0x" and 1 to maxDigits hex digits of either case.
    template <typename T>
    bool Hex(std::size_t maxDigits, T& value)
    {
        if (!Skip("0x", 2)) return false;
        const char* start = m_p;
        while (m_p != m_end && IsHexDigit(*m_p)) ++m_p;
        const std::size_t count = static_cast<std::size_t>(m_p - start);
        if (count == 0 || count > maxDigits) return false;
        const auto [end, ec] = std::from_chars(start, m_p, value, 16);
        return ec == std::errc() && end == m_p;
    }
    // The text up to the next blank or the end; false when it is empty.
    bool Word(std::string& word)
    {
        const char* start = m_p;
        while (m_p != m_end && *m_p != ' ') ++m_p;
        if (m_p == start) return false;
        word.assign(start, m_p);
        return true;
    }
    // Lustre's DFID, "[%#llx:0x%x:0x%x]": a zero sequence prints as "0".
    bool Fid(CLustreFID& fid)
    {
        if (!Skip('[')) return false;
        unsigned long long seq = 0;
        if (Skip("0x", 2)) {
            m_p -= 2;
            if (!Hex(16, seq)) return false;
        } else if (!Skip('0')) {
            return false;
        }
        unsigned int oid = 0;
        unsigned int ver = 0;
        if (!Skip(':') || !Hex(8, oid) || !Skip(':') || !Hex(8, ver) || !Skip(']')) return false;
        fid.m_seq = seq;
        fid.m_oid = oid;
        fid.m_ver = ver;
        return true;
    }
    // One or more decimal digits, of any number.
    bool Digits()
    {
        const char* start = m_p;
        while (m_p != m_end && IsDigit(*m_p)) ++m_p;
        return m_p != start;
    }
    // The field ends here: at a blank or at the line's end.
    bool AtFieldEnd() const { return m_p == m_end || *m_p == ' '; }

private:
    static bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

    const char* m_p;
    const char* m_end;
};

bool IsLeapYear(long long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(long long year, int month)
{
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar
// (the civil-from-days inverse of Howard Hinnant's date algorithms).
long long DaysFromCivil(long long year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long yearOfEra = year - era * 400;
    const long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// "HH:MM:SS.NANOS YYYY.MM.DD", UTC, as lfs prints it with gmtime_r. The
// nanoseconds are Lustre's 30-bit field printed as a number: "%06d" before
// 2.10, "%09d" from then on, so 6 to 10 digits.
bool ReadTime(Cursor& in, long long& seconds, unsigned int& nanoseconds)
{
    int hour = 0, minute = 0, second = 0, month = 0, day = 0;
    long long year = 0;
    if (!in.Decimal(2, 2, hour, 23) || !in.Skip(':') || !in.Decimal(2, 2, minute, 59) || !in.Skip(':') ||
        !in.Decimal(2, 2, second, 59) || !in.Skip('.') || !in.Decimal(6, 10, nanoseconds, (1u << 30) - 1) ||
        !in.Skip(' ') || !in.Decimal(4, 4, year) || !in.Skip('.') || !in.Decimal(2, 2, month, 12) || !in.Skip('.') ||
        !in.Decimal(2, 2, day, 31))
        return false;
    if (month < 1 || day < 1 || day > DaysInMonth(year, month)) return false;
    seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

// "s=FID sp=FID" and, after a blank, the source's name, to the line's end.
bool ReadRenameTail(Cursor& in, CChangelogRecord& record)
{
    if (!in.Skip("s=", 2) || !in.Fid(record.m_source) || !in.Skip(" sp=", 4) || !in.Fid(record.m_sourceParent))
        return false;
    if (in.AtEnd()) return true;
    if (!in.Skip(' ')) return false;
    record.m_sourceName.assign(in.Position(), in.End());
    return true;
}

// The text after the fields: the name, and for a rename the source part. The
// source part begins at the first blank-separated "s=FID sp=FID" whose
// source name follows it; everything before is the name. True when a source
// part was read.
bool ReadNames(const char* begin, const char* end, bool rename, CChangelogRecord& record)
{
    if (rename) {
        for (const char* p = begin; p != end; ++p) {
            if (*p != 's' || (p != begin && p[-1] != ' ')) continue;
            Cursor tail(p, end);
            CChangelogRecord candidate;
            if (!ReadRenameTail(tail, candidate)) continue;
            record.m_name.assign(begin, p == begin ? begin : p - 1);
            record.m_source = candidate.m_source;
            record.m_sourceParent = candidate.m_sourceParent;
            record.m_sourceName = std::move(candidate.m_sourceName);
            return true;
        }
    }
    record.m_name.assign(begin, end);
    return false;
}

bool StartsWith(const char* p, const char* end, const char* literal, std::size_t length)
{
    return static_cast<std::size_t>(end - p) >= length && std::equal(literal, literal + length, p);
}

// The extra-flags bits (CLFE_*) that say which of u=, nid=, m= and x= lfs
// prints after ef=.
constexpr unsigned long long kExtraUidGid = 0x1, kExtraNid = 0x2, kExtraOpen = 0x4, kExtraXattr = 0x8;

enum Field { kJob, kExtraFlags, kUidGid, kNid, kOpenMode, kXattr, kParent, kNames };

// What a reading of the fields found, for telling readings apart.
struct Seen {
    bool field[kNames + 1] = {};
    RecordTextEnd end = RecordTextEnd::Field;
};

// A reading as lfs prints one (2.11 on: every part ef= announces is there,
// u= and nid= always, m= and x= only then; before 2.11 none of them), and a
// name only after its directory.
bool PrintedAsLfsDoes(const Seen& seen, const CChangelogRecord& record)
{
    const unsigned long long ef = seen.field[kExtraFlags] ? record.m_extraFlags : 0;
    if (seen.field[kUidGid] != ((ef & kExtraUidGid) != 0) || seen.field[kNid] != ((ef & kExtraNid) != 0)) return false;
    if ((seen.field[kOpenMode] && !(ef & kExtraOpen)) || (seen.field[kXattr] && !(ef & kExtraXattr))) return false;
    return !seen.field[kNames] || seen.field[kParent];
}

// Where the xattr name after "x=" ends: lfs prints it only on records
// without a name (XATTR and GXATR), so it runs, blanks and all, to the end of
// the text or to a final " p=FID".
const char* XattrEnd(const char* begin, const char* end)
{
    for (const char* p = end; p != begin;) {
        --p;
        if (!StartsWith(p, end, " p=[", 4)) continue;
        Cursor fid(p + 3, end);
        CLustreFID parent;
        if (fid.Fid(parent) && fid.AtEnd()) return p;
    }
    return end;
}

bool ReadFieldsFrom(Cursor& in, int next, CChangelogRecord& record, Seen& seen);

// The job id after "j=": 1 to 31 bytes, blanks allowed ("%e.%u" of a process
// named "tmux: server"), ending where lfs prints the next field, " ef=0x"
// (2.11 on) or " p=[", or at the text's end. A job id is chosen by the
// user, so " ef=0x" may be part of it: every end within 31 bytes is tried,
// the shortest first, and the first whose rest reads as lfs prints it is
// taken; failing that, the first whose rest reads at all. False when none
// does.
bool ReadJobId(Cursor& in, CChangelogRecord& record, Seen& seen)
{
    const char* const begin = in.Position();
    const char* const last = begin + std::min<long>(kLongestJobId, in.End() - begin);
    for (const bool strict : {true, false}) {
        for (const char* p = begin + 1; p <= last; ++p) {
            if (p != in.End() && !StartsWith(p, in.End(), " ef=0x", 6) && !StartsWith(p, in.End(), " p=[", 4))
                continue;
            Cursor rest(p, in.End());
            CChangelogRecord reading = record;
            Seen readingSeen = seen;
            reading.m_jobId.assign(begin, p);
            readingSeen.field[kJob] = true;
            readingSeen.end = RecordTextEnd::JobId;
            if (!ReadFieldsFrom(rest, kExtraFlags, reading, readingSeen)) continue;
            if (strict && !PrintedAsLfsDoes(readingSeen, reading)) continue;
            record = std::move(reading);
            seen = readingSeen;
            in.Restore(in.End());
            return true;
        }
    }
    return false;
}

// The optional fields from next on, each at most once and in lfs's order:
// j=, ef=, u=, nid=, m=, x=, p=, then the names. A blank-separated piece that
// is none of them, one out of order, or one whose value cannot be read
// begins the name, except right after a job id, which only a field or the
// text's end may follow. Each field is stored only when the whole of it was
// read. False when the text cannot be read without guessing: a job id
// without its end, or a uid or gid beyond what the record holds.
bool ReadFieldsFrom(Cursor& in, int next, CChangelogRecord& record, Seen& seen)
{
    const bool afterJobId = next == kExtraFlags && seen.field[kJob];
    while (next != kNames && !in.AtEnd()) {
        const char* start = in.Position();
        if (!in.Skip(' ')) break;
        std::string word;
        unsigned long long extraFlags = 0;
        long long uid = 0, gid = 0;
        CLustreFID parent;
        // Whether the piece begins with the key of a field that may come next.
        const auto key = [&](int field, const char* text, std::size_t length) {
            in.Restore(start + 1);
            return next <= field && in.Skip(text, length);
        };
        int read = kNames;
        if (key(kJob, "j=", 2)) {
            // The job id decides the rest of the text itself.
            return ReadJobId(in, record, seen);
        } else if (key(kExtraFlags, "ef=", 3) && in.Hex(16, extraFlags) && in.AtFieldEnd()) {
            record.m_extraFlags = extraFlags;
            read = kExtraFlags;
        } else if (key(kUidGid, "u=", 2) && in.Decimal(1, 20, uid) && in.Skip(':') && in.Decimal(1, 20, gid) &&
                   in.AtFieldEnd()) {
            // Lustre's uid and gid are 64 bits wide; values a long long
            // cannot hold fail Decimal and are refused below.
            record.m_uid = uid;
            record.m_gid = gid;
            read = kUidGid;
        } else if (key(kNid, "nid=", 4) && in.Word(word)) {
            record.m_nid = std::move(word);
            read = kNid;
        } else if (key(kOpenMode, "m=", 2) && in.Word(word)) {
            record.m_openMode = std::move(word);
            read = kOpenMode;
        } else if (key(kXattr, "x=", 2)) {
            const char* const value = in.Position();
            const char* const stop = XattrEnd(value, in.End());
            record.m_xattr.assign(value, stop);
            in.Restore(stop);
            read = kXattr;
        } else if (key(kParent, "p=", 2) && in.Fid(parent) && in.AtFieldEnd()) {
            record.m_parent = parent;
            read = kParent;
        }
        if (read == kNames) {
            // A job id ends at a field or the text's end; a u= of digits
            // too large for the record is no name either.
            if ((afterJobId && next == kExtraFlags) ||
                (key(kUidGid, "u=", 2) && in.Digits() && in.Skip(':') && in.Digits() && in.AtFieldEnd()))
                return false;
            in.Restore(start);
            break;
        }
        seen.field[read] = true;
        seen.end = read == kXattr ? RecordTextEnd::Xattr : RecordTextEnd::Field;
        next = read + 1;
    }
    // The names follow one blank.
    if (in.Skip(' ')) {
        seen.field[kNames] = true;
        seen.end = ReadNames(in.Position(), in.End(), record.m_type == kRenameType, record)
                       ? RecordTextEnd::SourceName
                       : RecordTextEnd::Name;
    }
    return true;
}

// What every record's first line begins with: "%ju %02d%-5s", the time,
// " 0x%x t=" and the FID, then a blank or the end.
struct Head {
    unsigned long long index = 0;
    int type = 0;
    const char* typeName = nullptr;
    std::size_t typeNameLength = 0;
    long long seconds = 0;
    unsigned int nanoseconds = 0;
    unsigned int flags = 0;
    CLustreFID target;
};

bool ReadHead(Cursor& in, Head& head)
{
    if (!in.Decimal(1, 20, head.index) || !in.Skip(' ')) return false;
    // "%02d%-5s": the type's number, its name, blanks up to five characters.
    if (!in.Decimal(2, 3, head.type)) return false;
    head.typeName = in.Position();
    while (!in.AtEnd() && *in.Position() >= 'A' && *in.Position() <= 'Z') in.Restore(in.Position() + 1);
    head.typeNameLength = static_cast<std::size_t>(in.Position() - head.typeName);
    if (head.typeNameLength == 0 || head.typeNameLength > kLongestTypeName) return false;
    if (!in.SkipBlanks()) return false;
    if (!ReadTime(in, head.seconds, head.nanoseconds) || !in.Skip(' ')) return false;
    return in.Hex(8, head.flags) && in.Skip(" t=", 3) && in.Fid(head.target) && in.AtFieldEnd();
}

}  // namespace

bool ReadChangelogRecordText(const char* text, std::size_t length, CChangelogRecord& record, RecordTextEnd* end)
{
    Cursor in(text, text + length);
    Head head;
    if (!ReadHead(in, head)) return false;
    record.m_index = head.index;
    record.m_type = head.type;
    record.m_typeName.assign(head.typeName, head.typeNameLength);
    record.m_seconds = head.seconds;
    record.m_nanoseconds = head.nanoseconds;
    record.m_flags = head.flags;
    record.m_target = head.target;
    // Every field ends at a blank or the end, and the names take the rest.
    Seen seen;
    if (!ReadFieldsFrom(in, kJob, record, seen)) return false;
    if (end) *end = seen.end;
    return true;
}

bool ReadChangelogRecordHead(const char* text, std::size_t length, unsigned long long& index)
{
    Cursor in(text, text + length);
    Head head;
    if (!ReadHead(in, head)) return false;
    index = head.index;
    return true;
}

}  // namespace LustreAPI
