// Stand-in for Lustre's lfs: "lfs changelog MDT [STARTREC [ENDREC]]" prints
// the MDT's changelog records in the imitated version's line format.
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ArgvLog.h"
#include "ChangelogStore.h"
#include "ChangelogText.h"
#include "ToolContext.h"

namespace {

constexpr int kCmdHelp = 4;

int Usage(const sim::LustreVersion& version)
{
    fprintf(version.HelpOnStdout() ? stdout : stderr, "%s\n",
            "Show the metadata changes on an MDT.\n"
            "usage: changelog [--follow] <mdtname> [startrec [endrec]]");
    return kCmdHelp;
}

// strtoll as lfs up to 2.16 uses it: leading blanks, a sign, the digits that
// follow; no digits give 0 and overflow clamps.
long long LenientNumber(const std::string& text)
{
    size_t p = 0;
    while (p < text.size() && isspace(static_cast<unsigned char>(text[p]))) ++p;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    unsigned long long value = 0;
    bool overflow = false;
    for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) {
        const unsigned digit = static_cast<unsigned>(text[p] - '0');
        if (value > (ULLONG_MAX - digit) / 10)
            overflow = true;
        else
            value = value * 10 + digit;
    }
    const unsigned long long limit = static_cast<unsigned long long>(LLONG_MAX) + (negative ? 1 : 0);
    if (overflow || value > limit) return negative ? LLONG_MIN : LLONG_MAX;
    return negative ? static_cast<long long>(0 - value) : static_cast<long long>(value);
}

// From 2.17 a record number must be a whole non-negative number.
bool StrictNumber(const std::string& text, long long& value)
{
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty() && text[0] != '-';
}

int Changelog(const sim::ToolContext& ctx, const std::vector<std::string>& args)
{
    const sim::LustreVersion& version = ctx.version;
    std::vector<std::string> positional;
    bool optionsDone = false;
    for (const auto& arg : args) {
        if (!optionsDone && arg == "--") {
            optionsDone = true;
        } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--follow" || arg == "-f") {
                fprintf(stderr, "lfs (stand-in): changelog --follow is not supported\n");
                return EOPNOTSUPP;
            }
            fprintf(stderr, "lfs changelog: unrecognized option '%s'\n", arg.c_str());
            return Usage(version);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty()) {
        fprintf(stderr, "lfs changelog: mdtname must be specified\n");
        return Usage(version);
    }
    const std::string& mdt = positional[0];
    long long start = 0, end = 0;
    if (positional.size() > 1) {
        if (!version.StrictRecordNumbers())
            start = LenientNumber(positional[1]);
        else if (!StrictNumber(positional[1], start)) {
            fprintf(stderr, "lfs changelog: bad startrec\n");
            return Usage(version);
        }
    }
    if (positional.size() > 2) {
        if (!version.StrictRecordNumbers())
            end = LenientNumber(positional[2]);
        else if (!StrictNumber(positional[2], end)) {
            fprintf(stderr, "lfs changelog: bad endrec\n");
            return Usage(version);
        }
    }
    const char* prefix = version.AtLeast(10) ? "lfs changelog: cannot start changelog" : "Can't start changelog";
    if (!ctx.IsMountedMdt(mdt)) {
        fprintf(stderr, "%s: %s\n", prefix, strerror(ENOENT));
        return ENOENT;
    }
    // The reader seeks to the start record: a negative position is refused.
    if (start < 0) {
        fprintf(stderr, "%s: %s\n", prefix, strerror(EINVAL));
        return EINVAL;
    }

    sim::MdtChangelog log;
    {
        sim::StateLock lock(ctx.stateDir);
        std::string error = lock.Error();
        if (!lock.Locked() || !sim::LoadChangelog(ctx.stateDir, mdt, log, error)) {
            fprintf(stderr, "lfs changelog: cannot access changelog: %s\n", error.c_str());
            return EIO;
        }
    }
    // END 0 means no upper bound; lfs compares it as an unsigned record
    // number, so a negative END is no bound either.
    const unsigned long long last = static_cast<unsigned long long>(end);
    for (const auto& record : log.records) {
        if (record.index < static_cast<unsigned long long>(start)) continue;
        if (end != 0 && record.index > last) break;
        fputs(sim::FormatChangelogRecord(version, record).c_str(), stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    sim::LogArgv("lfs", argc, argv);
    sim::ToolContext ctx;
    if (!ctx.Load("lfs")) return 1;
    if (argc < 2 || std::string(argv[1]) != "changelog") {
        fprintf(stderr, "lfs (stand-in): only 'lfs changelog MDT [STARTREC [ENDREC]]' is supported\n");
        return kCmdHelp;
    }
    const int status = Changelog(ctx, std::vector<std::string>(argv + 2, argv + argc));
    fflush(stdout);
    return status;
}
