// Checks on values that the changelog operations put into shell command lines.
#include "ArgumentChecks.h"

#include <charconv>
#include <cstdio>

#include "ChangelogTypes.h"
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
        return RefusalError(where, "The %s \"\" is refused: it is empty", name);
    }
    const std::string quoted = QuoteForMessage(value);
    if (value[0] == '-')
        return RefusalError(where, "The %s \"%s\" is refused: it begins with '-'", name, quoted.c_str());
    for (char c : value) {
        if (!IsAllowedCharacter(c, kind)) {
            const std::string shown = QuoteForMessage(std::string(1, c));
            return RefusalError(where, "The %s \"%s\" is refused: it holds the character '%s'", name, quoted.c_str(),
                                shown.c_str());
        }
    }
    long long number = 0;
    const char* last = value.data() + value.size();
    if (kind == ArgumentKind::Number && std::from_chars(value.data(), last, number).ec != std::errc())
        return RefusalError(where, "The %s \"%s\" is refused: it is beyond 9223372036854775807", name, quoted.c_str());
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

namespace {

constexpr std::size_t kLongestReaderName = 15;

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The record type names of Lustre's changelogs, and the mask keywords.
bool IsMaskName(const std::string& token)
{
    if (common::ChangelogTypeOfName(token) >= 0) return true;
    std::string upper = token;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return upper == "ALL" || upper == "DEFAULT" || upper == "NONE";
}

}  // namespace

CKxError CheckReaderName(const HBCodeLocation& where, const std::string& name)
{
    if (name.empty()) return CKxError();
    const std::string quoted = QuoteForMessage(name);
    if (!IsLetter(name[0]))
        return RefusalError(where, "The changelog reader name \"%s\" is refused: it does not begin with a letter",
                            quoted.c_str());
    for (char c : name) {
        if (!IsLetter(c) && !(c >= '0' && c <= '9') && c != '_' && c != '-') {
            const std::string shown = QuoteForMessage(std::string(1, c));
            return RefusalError(where, "The changelog reader name \"%s\" is refused: it holds the character '%s'",
                                quoted.c_str(), shown.c_str());
        }
    }
    if (name.size() > kLongestReaderName)
        return RefusalError(where, "The changelog reader name \"%s\" is refused: it is longer than %zu characters",
                            quoted.c_str(), kLongestReaderName);
    return CKxError();
}

CKxError CheckChangelogMask(const HBCodeLocation& where, const std::string& mask)
{
    if (mask.empty()) return CKxError();
    const std::string quoted = QuoteForMessage(mask);
    std::string token;
    bool operatorPending = false;
    for (std::size_t i = 0; i <= mask.size(); ++i) {
        const char c = i < mask.size() ? mask[i] : ',';
        if (IsLetter(c)) {
            token += c;
            continue;
        }
        if (c != ',' && c != '+' && c != '-') {
            const std::string shown = QuoteForMessage(std::string(1, c));
            return RefusalError(where, "The changelog mask \"%s\" is refused: it holds the character '%s'",
                                quoted.c_str(), shown.c_str());
        }
        if (!token.empty()) {
            if (!IsMaskName(token))
                return RefusalError(where, "The changelog mask \"%s\" is refused: %s is no record type",
                                    quoted.c_str(), QuoteForMessage(token).c_str());
            token.clear();
            operatorPending = false;
        } else if (operatorPending && c != ',') {
            return RefusalError(where, "The changelog mask \"%s\" is refused: an operator follows an operator",
                                quoted.c_str());
        }
        if (c != ',') operatorPending = true;
        if (i == mask.size() && operatorPending)
            return RefusalError(where, "The changelog mask \"%s\" is refused: it ends with an operator",
                                quoted.c_str());
    }
    return CKxError();
}

}  // namespace LustreAPI
