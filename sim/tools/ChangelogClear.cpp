#include "ChangelogClear.h"

#include <cerrno>
#include <charconv>

namespace sim {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A %u or %llu conversion: blanks skipped, then at least one digit.
template <typename T>
bool ScanNumber(const std::string& text, size_t& pos, T& value)
{
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n')) ++pos;
    const size_t start = pos;
    while (pos < text.size() && IsDigit(text[pos])) ++pos;
    if (pos == start) return false;
    const auto [end, ec] = std::from_chars(text.data() + start, text.data() + pos, value);
    return ec == std::errc() && end == text.data() + pos;
}

}  // namespace

bool ReadClearRequest(const std::string& request, uint32_t& id, uint64_t& endrec)
{
    static const std::string kPrefix = "clear:cl";
    if (request.compare(0, kPrefix.size(), kPrefix) != 0) return false;
    size_t pos = kPrefix.size();
    uint32_t user = 0;
    uint64_t record = 0;
    if (!ScanNumber(request, pos, user) || pos >= request.size() || request[pos] != ':') return false;
    ++pos;
    if (!ScanNumber(request, pos, record)) return false;
    id = user;
    endrec = record;
    return true;
}

int ClearChangelogUser(const LustreVersion& server, MdtChangelog& log, uint32_t id, uint64_t endrec, int64_t now)
{
    // Master after 2.17 skips the backward user in the walk, and then finds none.
    return ClearReader(log, id, endrec, now, server.AtLeast(18));
}

}  // namespace sim
