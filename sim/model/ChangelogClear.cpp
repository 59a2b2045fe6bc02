#include "ChangelogClear.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "SimConfig.h"

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

int ClearChangelogRecords(const ToolContext& ctx, const std::string& mdt, const std::string& idText, long long endrec,
                          const std::string& prefix)
{
    const LustreVersion& version = ctx.version;
    if (endrec < 0) {
        // A message without errno; up to 2.14 it is followed by an empty line.
        fprintf(stderr, "%scan't purge negative records\n%s", prefix.c_str(), version.AtLeast(15) ? "" : "\n");
        return -EINVAL;
    }
    // From 2.15 a named reader "cl1-name" is cut to "cl1".
    std::string id = idText;
    if (version.AtLeast(15)) id = id.substr(0, id.find('-'));
    const std::string request = "clear:" + id + ":" + std::to_string(endrec);
    if (request.size() >= 64) return -EINVAL;
    if (!ctx.IsMountedMdt(mdt)) {
        fprintf(stderr, "%scannot open '/dev/changelog-%s': %s (%d)\n", prefix.c_str(), mdt.c_str(), strerror(ENOENT),
                ENOENT);
        return -ENOENT;
    }
    uint32_t user = 0;
    uint64_t record = 0;
    int rc = -EINVAL;
    if (ReadClearRequest(request, user, record)) {
        StateDb* db = ctx.Db();
        if (!db) return -EIO;
        Transaction tx(*db);
        ChangelogStore store(*db, mdt);
        MdtChangelog log;
        if (!tx.Begun() || !store.LoadHead(log)) {
            fprintf(stderr, "%s (stand-in): %s\n", ctx.tool, tx.Error().c_str());
            return -EIO;
        }
        rc = ClearChangelogUser(version, log, user, record, SimNow(ctx.stateDir));
        if (rc == 0 && !(store.SaveHead(log) && tx.Commit())) {
            fprintf(stderr, "%s (stand-in): %s\n", ctx.tool, tx.Error().c_str());
            return -EIO;
        }
    }
    if (rc < 0)
        fprintf(stderr, "%scannot purge records for '%s': %s (%d)\n", prefix.c_str(), idText.c_str(), strerror(-rc),
                -rc);
    return rc;
}

}  // namespace sim
