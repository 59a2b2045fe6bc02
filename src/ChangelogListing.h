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

// One line of "lctl get_param mdc.<fs>*.mds_conn_uuid":
//   mdc.<fs>-<MDT>-mdc-<instance>.mds_conn_uuid=<nid>@<net>
// Value when the device belongs to fsName exactly (its name is fsName, '-',
// the MDT's own name, "-mdc" and the instance) and the line has every piece
// read (an '=', a second '.'-piece): then mdtName is
// "<fs>-<MDT>" and value is the text after the first '=' (empty when lctl
// put the value on the next line). None for every other line.
ListingLine ReadMdcLine(const std::string& line, const std::string& fsName, std::string& mdtName,
                        std::string& value);

// The server address in an mds_conn_uuid value "<nid>@<net>": the text up to
// the first '@', the whole value when it has none.
std::string ServerOfValue(const std::string& value);

// The number that Lustre 2.15 and later print for a deregistered user,
// "<MDT>: Deregistered changelog user #N": N from "clN" or "clN-name" as a
// decimal number. Empty for any other identifier.
std::string ChangelogUserNumber(const std::string& changelogUser);

}  // namespace LustreAPI
