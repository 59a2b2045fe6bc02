// Reading a number that must fill its text: the one parser of the library,
// the host code and the stand-in.
#pragma once
#include <charconv>
#include <string_view>
#include <system_error>

namespace common {

// A whole number in [begin, end) in base (10 or 16, no "0x"); false for no
// digits, a sign where T has none, trailing text or overflow.
template <typename T>
bool WholeNumber(const char* begin, const char* end, T& value, int base = 10)
{
    if (begin == end) return false;
    const auto [stop, error] = std::from_chars(begin, end, value, base);
    return error == std::errc() && stop == end;
}

template <typename T>
bool WholeNumber(std::string_view text, T& value, int base = 10)
{
    return WholeNumber(text.data(), text.data() + text.size(), value, base);
}

}  // namespace common
