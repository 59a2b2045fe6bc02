// Checks on values that the changelog operations put into shell command lines.
#include "ArgumentChecks.h"

#include <charconv>
#include <cstdio>

#include "Diagnostics.h"

namespace LustreAPI {
namespace {

bool IsAllowedCharacter(char c, ArgumentKind kind)
{
    if (kind == ArgumentKind::Number) return c >= '0' && c <= '9';
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
    case '.':
    case '_':
    case '-':
    case ':':
    case '+':
    case ',':
    case '=':
    case '%':
        return true;
    case '/':
    case '@':
        return kind == ArgumentKind::Word;
    default:
        return false;
    }
}

std::string EscapeByte(unsigned char c)
{
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned>(c));
    return buffer;
}

}  // namespace

std::string QuoteForMessage(const std::string& value)
{
    std::string quoted;
    quoted.reserve(value.size());
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += ch;
        } else if (c < 0x20 || c >= 0x7f) {
            quoted += EscapeByte(c);
        } else {
            quoted += ch;
        }
    }
    return quoted;
}

CKxError CheckCommandArgument(const HBCodeLocation& where, const char* name, const std::string& value,
                              ArgumentKind kind, bool allowEmpty)
{
    if (value.empty()) {
        if (allowEmpty) return CKxError();
        return CommandError(where, "The %s \"\" is refused: it is empty", name);
    }
    const std::string quoted = QuoteForMessage(value);
    if (value[0] == '-')
        return CommandError(where, "The %s \"%s\" is refused: it begins with '-'", name, quoted.c_str());
    for (char c : value) {
        if (!IsAllowedCharacter(c, kind)) {
            const std::string shown = QuoteForMessage(std::string(1, c));
            return CommandError(where, "The %s \"%s\" is refused: it holds the character '%s'", name, quoted.c_str(),
                                shown.c_str());
        }
    }
    long long number = 0;
    const char* last = value.data() + value.size();
    if (kind == ArgumentKind::Number && std::from_chars(value.data(), last, number).ec != std::errc())
        return CommandError(where, "The %s \"%s\" is refused: it is beyond 9223372036854775807", name, quoted.c_str());
    return CKxError();
}

CKxError CheckCommandArguments(const HBCodeLocation& where, std::initializer_list<CommandArgument> arguments)
{
    for (const CommandArgument& argument : arguments) {
        CKxError refused =
            CheckCommandArgument(where, argument.name, argument.value, argument.kind, argument.allowEmpty);
        if (refused.Failed()) return refused;
    }
    return CKxError();
}

}  // namespace LustreAPI
