#include "ParamFraming.h"

#include <cstring>

namespace sim {
namespace {

bool SwappedStrnchrHit(const std::string& value)
{
    if (value.empty()) return false;
    const char wanted = static_cast<char>((value.size() - 1) & 0xff);
    const size_t window = value.size() < 10 ? value.size() : 10;
    return std::memchr(value.data(), wanted, window) != nullptr;
}

bool BreakBeforeLast(const std::string& value)
{
    return value.size() > 1 && std::memchr(value.data(), '\n', value.size() - 1) != nullptr;
}

}  // namespace

bool ValueOnNextLine(const LustreVersion& lctl, const std::string& name, const std::string& value)
{
    if (lctl.AtLeast(16)) return BreakBeforeLast(value);
    if (lctl.AtLeast(15)) return BreakBeforeLast(value) || value.size() + name.size() >= 80;
    if (lctl.AtLeast(7)) return SwappedStrnchrHit(value) || value.size() + name.size() >= 80;
    return SwappedStrnchrHit(value) || value.size() > 60;
}

std::string FrameParam(const LustreVersion& lctl, const std::string& name, const std::string& value, bool valueOnly)
{
    if (valueOnly) return value;
    return name + (ValueOnNextLine(lctl, name, value) ? "=\n" : "=") + value;
}

}  // namespace sim
