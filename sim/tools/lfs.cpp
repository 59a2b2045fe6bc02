// Stand-in for Lustre's lfs: "lfs changelog [--follow] MDT [STARTREC [ENDREC]]"
// prints the MDT's changelog records in the imitated version's line format
// (and with --follow waits for more);
// "lfs changelog_clear MDT ID ENDREC" acknowledges a reader's records; the
// HSM and FID commands are in LfsHsm.cpp.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ArgvLog.h"
#include "ChangelogClear.h"
#include "ChangelogMask.h"
#include "ChangelogStore.h"
#include "ChangelogText.h"
#include "Getopt.h"
#include "Interactive.h"
#include "LfsHsm.h"
#include "ToolContext.h"

namespace {

constexpr int kCmdHelp = 4;

// The commands this stand-in knows.
const char kHelp[] =
    "usage: lfs COMMAND [ARGS...]\n"
    "  changelog <mdtname> [startrec [endrec]]   print an MDT's changelog records\n"
    "  changelog_clear <mdtname> <id> <endrec>   clear a reader's records up to endrec\n"
    "  hsm_state|hsm_action <file> ...           show HSM states and actions under way\n"
    "  hsm_archive|hsm_release|hsm_restore|hsm_remove|hsm_cancel <file> ...\n"
    "                                            send an HSM request\n"
    "  hsm_set|hsm_clear <flag options> <file> ...  change HSM flags\n"
    "  path2fid <path> ...  fid2path <fsname|root> <fid> ...\n"
    "  help [command]  --version                 Lustre's help and version texts\n";

std::string ChangelogHelp(const sim::LustreVersion& version)
{
    return std::string("Show the metadata changes on an MDT.\nusage: changelog ") +
           (version.ChangelogUserOptions() ? "[--follow] [--user USERNAME] [--mask MASK] <mdtname> [startrec [endrec]]"
                                           : "<mdtname> [startrec [endrec]]");
}

const char kClearHelp[] =
    "Indicate that old changelog records up to <endrec> are no longer of interest to consumer <id>, "
    "allowing the system to free up space.\n"
    "An <endrec> of 0 means all records.\n"
    "usage: changelog_clear <mdtname> <id> <endrec>";

int Usage(const sim::LustreVersion& version)
{
    fprintf(version.HelpOnStdout() ? stdout : stderr, "%s\n", ChangelogHelp(version).c_str());
    return kCmdHelp;
}

// strtoll as lfs uses it: leading blanks, a sign, the digits that follow;
// no digits give 0 and overflow clamps (and sets *overflowed).
long long LenientNumber(const std::string& text, bool* overflowed = nullptr)
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
    if (overflow || value > limit) {
        if (overflowed) *overflowed = true;
        return negative ? LLONG_MIN : LLONG_MAX;
    }
    return negative ? static_cast<long long>(0 - value) : static_cast<long long>(value);
}

// A record number: from 2.15 a negative or overflowing one is refused
// ("bad startrec"); garbage reads as 0 in every version.
bool RecordNumber(const sim::LustreVersion& version, const std::string& text, long long& value)
{
    bool overflow = false;
    value = LenientNumber(text, &overflow);
    return !version.CheckedRecordNumbers() || (value >= 0 && !overflow);
}

int Changelog(const sim::ToolContext& ctx, const std::vector<std::string>& args)
{
    const sim::LustreVersion& version = ctx.version;
    std::vector<sim::LongOption> longOptions = {{"follow", 'f', false}};
    if (version.ChangelogUserOptions())
        longOptions.insert(longOptions.end(), {{"user", 'u', true}, {"mask", 'm', true}});
    sim::ParsedOptions parsed;
    std::string badArg, message;
    if (!sim::Getopt("changelog", args, "f", &longOptions, parsed, badArg, message)) {
        // glibc's message up to 2.10; lfs silences getopt from 2.11 and
        // names the argument itself from 2.12.
        if (!version.AtLeast(11))
            fprintf(stderr, "%s\n", message.c_str());
        else if (version.AtLeast(12))
            fprintf(stderr, "lfs changelog: unrecognized option '%s'\n", badArg.c_str());
        return Usage(version);
    }
    for (const auto& [letter, value] : parsed.options) {
        uint32_t mask = 0;
        if (letter == 'm' && !sim::ParseChangelogMask(version, value, mask)) {
            fprintf(stderr, "lfs changelog: invalid changelog mask '%s': %s (%d)\n", value.c_str(), strerror(EINVAL),
                    EINVAL);
            return Usage(version);
        }
    }
    bool follow = false;
    for (const auto& option : parsed.options) {
        if (option.first == 'f') {
            follow = true;
            continue;
        }
        fprintf(stderr, "lfs (stand-in): changelog --%s is not supported\n", option.first == 'u' ? "user" : "mask");
        return EOPNOTSUPP;
    }
    const std::vector<std::string>& positional = parsed.operands;
    if (positional.empty()) {
        if (version.AtLeast(12)) fprintf(stderr, "lfs changelog: mdtname must be specified\n");
        return Usage(version);
    }
    const std::string& mdt = positional[0];
    long long start = 0, end = 0;
    if (positional.size() > 1 && !RecordNumber(version, positional[1], start)) {
        fprintf(stderr, "lfs changelog: bad startrec\n");
        return Usage(version);
    }
    if (positional.size() > 2 && !RecordNumber(version, positional[2], end)) {
        fprintf(stderr, "lfs changelog: bad endrec\n");
        return Usage(version);
    }
    ctx.WaitWhileHung({mdt});
    // lfs names itself in this message from 2.12.
    const char* prefix = version.AtLeast(12) ? "lfs changelog: cannot start changelog" : "Can't start changelog";
    if (!ctx.IsMountedMdt(mdt) || !ctx.ModulesLoaded()) {
        fprintf(stderr, "%s: %s\n", prefix, strerror(ENOENT));
        return ENOENT;
    }
    // The reader seeks to the start record: a negative position is refused.
    if (start < 0) {
        fprintf(stderr, "%s: %s\n", prefix, strerror(EINVAL));
        return EINVAL;
    }

    // The state lock is held until the first batch has fixed the snapshot.
    std::optional<sim::StateLock> lock(ctx.stateDir);
    if (!lock->Locked()) {
        fprintf(stderr, "lfs changelog: cannot access changelog: %s\n", lock->Error().c_str());
        return EIO;
    }
    sim::StateDb* db = ctx.Db();
    if (!db) return EIO;
    sim::ChangelogStore store(*db, mdt);
    // END 0 means no upper bound; lfs compares it as an unsigned record
    // number, so a negative END is no bound either.
    const unsigned long long last = static_cast<unsigned long long>(end);
    constexpr size_t kBatch = 4096;
    std::vector<sim::ChangelogRecord> batch;
    uint64_t next = std::max<uint64_t>(static_cast<uint64_t>(start), 1);  // records are numbered from 1
    // Prints the records from next on, one snapshot read a batch at a time:
    // records before next are never read, and writers are not held up.
    // False at END or on failure (status set).
    int status = 0;
    auto print = [&]() {
        sim::Transaction tx(*db, sim::Transaction::kRead);
        for (;;) {
            if (!tx.Begun() || !store.Read(next, kBatch, batch)) {
                fprintf(stderr, "lfs changelog: cannot access changelog: %s\n", tx.Error().c_str());
                status = EIO;
                return false;
            }
            lock.reset();
            std::string text;
            for (const auto& record : batch) {
                if (end != 0 && record.index > last) break;
                text += sim::FormatChangelogRecord(version, record);
            }
            fputs(text.c_str(), stdout);
            if (end != 0 && !batch.empty() && batch.back().index >= last) return false;
            if (!batch.empty()) next = batch.back().index + 1;
            if (batch.size() < kBatch) return true;
        }
    };
    // With --follow, lfs then waits for new records, as the changelog device
    // does for a following reader.
    while (print() && follow) {
        if (fflush(stdout) != 0) return errno;
        for (uint64_t index = 0; index < next;) {
            usleep(50 * 1000);
            sim::Transaction tx(*db, sim::Transaction::kRead);
            if (!tx.Begun() || !store.CurrentIndex(index)) {
                fprintf(stderr, "lfs changelog: cannot access changelog: %s\n", tx.Error().c_str());
                return EIO;
            }
        }
    }
    return status;
}

int ClearUsage(const sim::LustreVersion& version)
{
    fprintf(version.HelpOnStdout() ? stdout : stderr, "%s\n", kClearHelp);
    return kCmdHelp;
}

int ChangelogClear(const sim::ToolContext& ctx, const std::vector<std::string>& args)
{
    const sim::LustreVersion& version = ctx.version;
    if (args.size() != 3) return ClearUsage(version);
    const std::string& endText = args[2];
    // strtoll(argv[3], NULL, 10): any text reads as a number, garbage as 0.
    bool overflowed = false;
    const long long endrec = LenientNumber(endText, &overflowed);
    if (version.AtLeast(15) && (overflowed || endrec < 0)) {
        fprintf(stderr, "changelog_clear: bad endrec '%s'\n", endText.c_str());
        return ClearUsage(version);
    }
    ctx.WaitWhileHung({args[0]});
    // liblustreapi's messages carry the program's name from 2.12 on.
    const int rc =
        sim::ClearChangelogRecords(ctx, args[0], args[1], endrec, version.AtLeast(12) ? "lfs changelog_clear: " : "");
    if (rc == 0) return 0;
    if (rc == -EINVAL)
        fprintf(stderr, "changelog_clear: record out of range: %llu\n", static_cast<unsigned long long>(endrec));
    else if (rc == -ENOENT)
        fprintf(stderr, "changelog_clear: no changelog user: %s\n", args[1].c_str());
    else
        fprintf(stderr, "changelog_clear error: %s\n", strerror(-rc));
    return -rc;
}

// "lfs help [CMD]": the command's help on stderr after "CMD: ", or lfs's
// own usage on stdout.
int Help(const sim::LustreVersion& version, const std::vector<std::string>& args)
{
    if (args.size() < 2) {
        printf("usage: lfs [COMMAND] [OPTIONS]... [ARGS]\n"
               "Without any parameters, interactive mode is invoked\n"
               "Try 'lfs help <COMMAND>' or 'lfs --list-commands' for more information\n");
        return 0;
    }
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& command = args[i];
        const std::string text = command == "changelog"         ? ChangelogHelp(version)
                                 : command == "changelog_clear" ? std::string(kClearHelp)
                                 : sim::LfsHelpText(version, command) ? sim::LfsHelpText(version, command)
                                                                      : std::string();
        if (!text.empty())
            fprintf(stderr, "%s: %s\n", command.c_str(), text.c_str());
        else if (version.AtLeast(16))
            fprintf(stderr, "lfs: '%s' is not a valid command. See 'lfs --list-commands'.\n", command.c_str());
        else
            fprintf(stderr, "%s: Unknown command.\n", command.c_str());
    }
    return 0;
}

// The version of the state directory when there is one, else the default:
// help and --version work without a state directory.
sim::LustreVersion QuietVersion()
{
    sim::ToolContext ctx;
    if (!getenv("LUSTRE_SIM_STATE")) return sim::LustreVersion();
    return ctx.Load("lfs") ? ctx.version : sim::LustreVersion();
}

// One command line (without "lfs"), as from the command line or from
// interactive input.
int RunCommand(const std::vector<std::string>& line)
{
    const std::string& first = line[0];
    if (first == "help") return Help(QuietVersion(), line);
    if (first == "--version") {
        printf("lfs %s\n", QuietVersion().ReleaseName().c_str());
        return 0;
    }
    if (first == "--help" || first == "-h") {
        fputs(kHelp, stdout);
        return 0;
    }
    sim::ToolContext ctx;
    if (!ctx.Load("lfs")) return 1;
    ctx.WaitWhileHung();
    const std::vector<std::string> args(line.begin() + 1, line.end());
    if (sim::IsLfsHsmCommand(first)) return sim::RunLfsHsmCommand(ctx, first, args);
    if (first != "changelog" && first != "changelog_clear") {
        fprintf(stderr,
                "lfs (stand-in): only 'lfs changelog MDT [STARTREC [ENDREC]]', 'lfs changelog_clear MDT ID ENDREC' "
                "and the hsm_*, path2fid and fid2path commands are supported\n");
        return kCmdHelp;
    }
    return first == "changelog" ? Changelog(ctx, args) : ChangelogClear(ctx, args);
}

}  // namespace

int main(int argc, char* argv[])
{
    sim::LogArgv("lfs", argc, argv);
    const int status = argc == 1 ? sim::RunInteractive("lfs", RunCommand)
                                 : RunCommand(std::vector<std::string>(argv + 1, argv + argc));
    fflush(stdout);
    return status;
}
