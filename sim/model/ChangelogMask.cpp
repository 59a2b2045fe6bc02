#include "ChangelogMask.h"

#include <strings.h>

#include "ChangelogText.h"

namespace sim {
namespace {

bool IsSeparator(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == ',';
}

bool IsOperator(char c) { return c == '+' || c == '-'; }

// Applies one name with its operator ('\0' for none). False when the name
// is unknown.
bool Apply(const LustreVersion& server, const std::string& name, char op, uint32_t& mask)
{
    for (int t = 0; t < kChangelogTypeCount; ++t) {
        if (strcasecmp(name.c_str(), ChangelogTypeName(t)) != 0) continue;
        if (op == '-')
            mask &= ~(1u << t);
        else
            mask |= 1u << t;
        return true;
    }
    if (strcasecmp(name.c_str(), "ALL") == 0) {
        mask = op == '-' ? kMinChangelogMask : AllChangelogMask();
        return true;
    }
    if (server.MaskKeywordNone() && strcasecmp(name.c_str(), "NONE") == 0) {
        mask = kMinChangelogMask;
        return true;
    }
    return false;
}

}  // namespace

uint32_t AllChangelogMask() { return (1u << kChangelogTypeCount) - 1; }

bool ParseChangelogMask(const LustreVersion& server, const std::string& text, uint32_t& mask)
{
    if (text.empty() && server.EmptyMaskIsDefault()) {
        mask = DefaultChangelogMask();
        return true;
    }
    uint32_t result = kMinChangelogMask;
    bool first = true;
    char op = '\0';
    size_t p = 0;
    for (;;) {
        while (p < text.size() && IsSeparator(text[p])) ++p;
        if (p == text.size()) break;
        if (IsOperator(text[p])) {
            op = text[p++];
            if (first) result = DefaultChangelogMask();  // relative to the default
            while (p < text.size() && IsSeparator(text[p])) ++p;
            if (p == text.size()) return false;  // an operator with nothing after it
        } else if (server.MaskOperatorPerName()) {
            op = '\0';
        }
        // DEFAULT is compared with the whole rest of the text, so it counts
        // only as the last name.
        if (server.MaskKeywordDefault() && strcasecmp(text.c_str() + p, "DEFAULT") == 0) {
            const uint32_t def = DefaultChangelogMask();
            result = op == '-' ? (result & ~def) | kMinChangelogMask : op == '+' ? result | def : def;
            break;
        }
        size_t len = 0;
        while (p + len < text.size() && !IsSeparator(text[p + len]) && !IsOperator(text[p + len])) ++len;
        if (!Apply(server, text.substr(p, len), op, result)) return false;
        p += len;
        first = false;
    }
    mask = result;
    return true;
}

}  // namespace sim
