// String utilities.
#include "HBString.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "FormatV.h"

namespace kxutils {

std::string FormatV(const char* format, va_list args)
{
    if (!format) return std::string();
    char small[256];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    if (length < 0) {  // an encoding error: nothing sensible to show
        va_end(again);
        return std::string();
    }
    if (static_cast<size_t>(length) < sizeof small) {
        va_end(again);
        return std::string(small, static_cast<size_t>(length));
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, again);
    va_end(again);
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace kxutils

namespace {

template <typename Container>
void SplitInto(const std::string& text, const std::string& separator, Container& pieces)
{
    if (separator.empty()) {
        pieces.push_back(text);
        return;
    }
    size_t start = 0;
    for (;;) {
        const size_t found = text.find(separator, start);
        if (found == std::string::npos) break;
        pieces.push_back(text.substr(start, found - start));
        start = found + separator.size();
    }
    pieces.push_back(text.substr(start));
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string HBString::Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = kxutils::FormatV(format, args);
    va_end(args);
    return text;
}

void HBString::Split(const std::string& text, const std::string& separator, std::vector<std::string>& pieces, unsigned)
{
    SplitInto(text, separator, pieces);
}

void HBString::Split(const std::string& text, const std::string& separator, std::list<std::string>& pieces, unsigned)
{
    SplitInto(text, separator, pieces);
}

void HBString::Trim(std::string& text, const std::string& characters)
{
    const size_t last = text.find_last_not_of(characters);
    if (last == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(last + 1);
    TrimLeft(text, characters);
}

void HBString::TrimLeft(std::string& text, const std::string& characters)
{
    text.erase(0, text.find_first_not_of(characters));
}

bool HBString::RemoveLeft(std::string& text, const std::string& prefix)
{
    if (text.compare(0, prefix.size(), prefix) != 0) return false;
    text.erase(0, prefix.size());
    return true;
}

const char* HBString::FindString(const char* text, const char* pattern, bool flag)
{
    if (!text || !pattern) return nullptr;
    if (flag) return std::strstr(text, pattern);
    const size_t length = std::strlen(pattern);
    for (const char* at = text;; ++at) {
        size_t i = 0;
        while (i < length && at[i] && LowerAscii(at[i]) == LowerAscii(pattern[i])) ++i;
        if (i == length) return at;
        if (!*at) return nullptr;
    }
}
