// Readers of the text that lctl prints for the changelog operations: the
// changelog_users listing, the mds_conn_uuid listing and the deregistration
// reply. Every step that splits, trims or compares goes through HBString, so
// that a host's replacement of HBString is what decides those details.
#pragma once
#include <string>

namespace LustreAPI {

enum class ListingLine {
    None,        // the line is not of the kind asked for
    Value,       // the line is of that kind; value holds what it says
    ParseError,  // the line is of that kind but cannot be read
};

// The current-index line of a changelog_users listing: a line holding
// "current index:" (up to Lustre 2.14) or "current_index:" (2.15 on). Its
// value is the rest of the line after "current index: " (or "current_index: ")
// when the line begins with it; otherwise the rest of the line's second
// '='-piece after that prefix, which reads "mdd.<MDT>.changelog_users=current
// index: 5" with the name on the same line. A line with neither is a
// ParseError. The value is not trimmed. value is assigned only for Value.
ListingLine ReadCurrentIndexLine(const std::string& line, std::string& value);

// The reader line of changelogUser in a changelog_users listing: a line that
// begins with the identifier as a whole word (followed by a blank, a tab or
// the line's end). Its value is the rest of the line with spaces trimmed;
// when that has the shape of Lustre 2.11 and later, "12 (37)" or
// "12 (37) mask=...", it is the leading record number alone. A line where
// the identifier only begins a longer one (cl1 in cl10 or cl1-name) is None;
// a line holding it as a whole blank-separated word anywhere else is a
// ParseError. An empty changelogUser finds no line. value is assigned only
// for Value.
ListingLine ReadReaderLine(const std::string& line, const std::string& changelogUser, std::string& value);

// A reader of a changelog_users listing, as ReadListedReader gives it.
struct ListedReader {
    std::string id;                // "cl1", "cl2-watcher"
    unsigned long long index = 0;  // its record number
    long long idleSeconds = -1;    // "(37)" from 2.11 on; -1 where there is none
    std::string mask;              // after "mask=" (2.15 on); empty where there is none
};

// One line of a changelog_users listing other than its current-index line,
// split at blanks, tabs and carriage returns whatever the column widths:
//   "cl1   12" (up to 2.10), "cl1   12 (37)" (2.11 to 2.14),
//   "cl2-watcher                      42 (5) mask=MARK,CREAT" (2.15 on).
// None for the lines that carry no reader: the heading ("ID    index ...")
// and the parameter's name alone ("mdd.<MDT>.changelog_users="). Value for
// a reader line (the identifier, a decimal record number, optionally the
// idle seconds in parentheses, optionally "mask=..."); reader is assigned
// only then. ParseError for every other line.
ListingLine ReadListedReader(const std::string& line, ListedReader& reader);

// A current-index value ("42", also with trailing blanks or a carriage
// return) as a number; false for anything else.
[[nodiscard]] bool ReadIndexNumber(const std::string& value, unsigned long long& number);

// One line of "lctl get_param mdc.<fs>*.mds_conn_uuid":
//   mdc.<fs>-<MDT>-mdc-<instance>.mds_conn_uuid=<nid>@<net>
// Value when the device belongs to fsName exactly (its name is fsName, '-',
// the MDT's own name, "-mdc" and the instance) and the line has every piece
// read (an '=', a second '.'-piece): then mdtName is
// "<fs>-<MDT>" and value is the text after the first '=' (empty when lctl
// put the value on the next line). None for every other line.
ListingLine ReadMdcLine(const std::string& line, const std::string& fsName, std::string& mdtName, std::string& value);

// The server address in an mds_conn_uuid value "<nid>@<net>": the text up to
// the first '@', the whole value when it has none.
std::string ServerOfValue(const std::string& value);

// The number that Lustre 2.15 and later print for a deregistered user,
// "<MDT>: Deregistered changelog user #N": N from "clN" or "clN-name" as a
// decimal number. Empty for any other identifier.
std::string ChangelogUserNumber(const std::string& changelogUser);

// The reply of "lctl --version", "lctl 2.15.8" (any build suffix after the
// numbers, "2.14.0_5_gabc"): its major and minor numbers. false for any
// other line.
[[nodiscard]] bool ReadLctlVersion(const std::string& line, unsigned& major, unsigned& minor);

// The name of a changelog reader from its identifier: "watcher" of
// "cl2-watcher"; empty for "cl1" and for what is not an identifier.
std::string ChangelogReaderName(const std::string& changelogUser);

}  // namespace LustreAPI
