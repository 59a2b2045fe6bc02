// Checks on values that the changelog operations put into shell command lines.
//
// Command lines are built by inserting values as they are, without quoting,
// and the remote part of an ssh line is parsed by a second shell on the
// server. Rather than quote for two shells, a value is accepted only when
// neither shell can read anything into it: letters, digits and . _ - : / + , = % @
// (host and login names: without / and @), not beginning with '-' (so that no
// tool reads it as an option), and not empty unless the caller says so.
#pragma once
#include <initializer_list>
#include <string>

#include "HBError.h"

namespace LustreAPI {

enum class ArgumentKind {
    Login,   // a host or login name: "ssh user@host"; no '/' and no '@'
    Word,    // an MDT, changelog user, file-system name, record number or path
    Number,  // a record number a tool must read as written: decimal digits only,
             // at most 9223372036854775807 (tools read it as a signed 64-bit number)
};

// Empty when value may go into a command line. Otherwise a failure made with
// CommandError (Win32 code 774) at where, whose message names the
// argument and quotes the value, for example
//   The host "mds1;reboot" is refused: it holds the character ';'
// Nothing is logged. allowEmpty: an empty value is accepted.
[[nodiscard]] CKxError CheckCommandArgument(const HBCodeLocation& where, const char* name, const std::string& value,
                                            ArgumentKind kind, bool allowEmpty = false);

struct CommandArgument {
    const char* name;  // as messages name it: "host", "MDT", "user", ...
    const std::string& value;
    ArgumentKind kind;
    bool allowEmpty;
};

// CheckCommandArgument for each argument in order; the first refusal.
[[nodiscard]] CKxError CheckCommandArguments(const HBCodeLocation& where,
                                             std::initializer_list<CommandArgument> arguments);

// A changelog reader's name for "lctl changelog_register -u": empty (no
// name), or what every Lustre MDT from 2.15 on keeps whole: a letter, then
// letters, digits, '_' and '-', at most 15 characters. (The MDT takes 16 but
// keeps 15, so a 16th would make lctl print an identifier the MDT does not
// list.) Otherwise a refusal naming the rule broken.
[[nodiscard]] CKxError CheckReaderName(const HBCodeLocation& where, const std::string& name);

// A changelog mask for "lctl changelog_register -m": empty (no mask), or
// record type names (MARK, CREAT, ... in any case), ALL, DEFAULT or NONE,
// separated by ',', and '+' or '-' before a name; no blanks, no operator
// without a name after it. The MDT decides what the names mean in its
// version; a mask it cannot read would still use up a reader number.
[[nodiscard]] CKxError CheckChangelogMask(const HBCodeLocation& where, const std::string& mask);

// The value as the messages above quote it: control characters, bytes
// outside ASCII, '"' and '\' escaped, so that a message is one readable line.
std::string QuoteForMessage(const std::string& value);

}  // namespace LustreAPI
