// Stand-in for Lustre's lfs: "lfs changelog [--follow] MDT [STARTREC [ENDREC]]"
// prints the MDT's changelog records in the imitated version's line format
// (and with --follow waits for more);
// "lfs changelog_clear MDT ID ENDREC" acknowledges a reader's records; the
// HSM and FID commands are in LfsHsm.cpp. Both read and clear through the
// stand-in's liblustreapi, as Lustre's lfs does through Lustre's.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <lustre/lustreapi.h>

#include "ArgvLog.h"
#include "ChangelogMask.h"
#include "Getopt.h"
#include "Interactive.h"
#include "LfsHsm.h"
#include "NidText.h"
#include "ToolContext.h"

namespace {

constexpr int kCmdHelp = 4;

// The open flags a record's mode carries (MDS_FMODE_*, MDS_OPEN_*).
constexpr unsigned kOpenRead = 01, kOpenWrite = 02, kOpenExec = 04, kOpenTrunc = 01000, kOpenAppend = 02000;

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

// The FID as lfs prints it (DFID: "[%#llx:0x%x:0x%x]").
void PrintFid(const char* before, const lu_fid& fid)
{
    printf("%s[%#llx:0x%x:0x%x]", before, static_cast<unsigned long long>(fid.f_seq), fid.f_oid, fid.f_ver);
}

bool IsZero(const lu_fid& fid) { return fid.f_seq == 0 && fid.f_oid == 0 && fid.f_ver == 0; }

// One record's line as lfs prints it from what llapi_changelog_recv gives.
void PrintRecord(const sim::LustreVersion& version, const changelog_rec& rec)
{
    const time_t secs = static_cast<time_t>(rec.cr_time >> 30);
    struct tm tm {};
    gmtime_r(&secs, &tm);
    const char* typeName = changelog_type2str(static_cast<int>(rec.cr_type));
    // The nanoseconds as a number of at least 6 digits before 2.10, 9 from then on.
    printf("%llu %02d%-5s %02d:%02d:%02d.%0*d %04d.%02d.%02d 0x%x", static_cast<unsigned long long>(rec.cr_index),
           static_cast<int>(rec.cr_type), typeName ? typeName : "", tm.tm_hour, tm.tm_min, tm.tm_sec,
           version.NineDigitNanoseconds() ? 9 : 6, static_cast<int>(rec.cr_time & ((1u << 30) - 1)),
           tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, rec.cr_flags & CLF_FLAGMASK);
    PrintFid(" t=", rec.cr_tfid);
    if ((rec.cr_flags & CLF_JOBID) && changelog_rec_jobid(&rec)->cr_jobid[0] != '\0')
        printf(" j=%.*s", LUSTRE_JOBID_SIZE, changelog_rec_jobid(&rec)->cr_jobid);
    if (rec.cr_flags & CLF_EXTRA_FLAGS) {
        const unsigned long long ef = changelog_rec_extra_flags(&rec)->cr_extra_flags;
        printf(" ef=0x%llx", ef);
        if (ef & CLFE_UIDGID)
            printf(" u=%llu:%llu", static_cast<unsigned long long>(changelog_rec_uidgid(&rec)->cr_uid),
                   static_cast<unsigned long long>(changelog_rec_uidgid(&rec)->cr_gid));
        if (ef & CLFE_NID) printf(" nid=%s", common::NidText(changelog_rec_nid(&rec)->cr_nid).c_str());
        if (ef & CLFE_OPEN) {
            // Exec excludes the others; truncating or appending is writing.
            const unsigned flags = changelog_rec_openmode(&rec)->cr_openflags;
            char mode[] = "---";
            if (flags & kOpenExec) {
                mode[2] = 'x';
            } else {
                if (flags & kOpenRead) mode[0] = 'r';
                if (flags & (kOpenWrite | kOpenTrunc | kOpenAppend)) mode[1] = 'w';
            }
            if (strcmp(mode, "---") != 0) printf(" m=%s", mode);
        }
        if ((ef & CLFE_XATTR) && changelog_rec_xattr(&rec)->cr_xattr[0] != '\0')
            printf(" x=%.*s", XATTR_NAME_MAX + 1, changelog_rec_xattr(&rec)->cr_xattr);
        if (!IsZero(rec.cr_pfid)) PrintFid(" p=", rec.cr_pfid);
        if (rec.cr_namelen) printf(" %.*s", static_cast<int>(rec.cr_namelen), changelog_rec_name(&rec));
    } else if (rec.cr_namelen) {
        // lfs before 2.11 prints the parent with every name.
        PrintFid(" p=", rec.cr_pfid);
        printf(" %.*s", static_cast<int>(rec.cr_namelen), changelog_rec_name(&rec));
    }
    if (rec.cr_flags & CLF_RENAME) {
        const changelog_ext_rename* rename = changelog_rec_rename(&rec);
        if (!IsZero(rename->cr_sfid)) {
            PrintFid(" s=", rename->cr_sfid);
            PrintFid(" sp=", rename->cr_spfid);
            printf(" %.*s", static_cast<int>(changelog_rec_snamelen(&rec)), changelog_rec_sname(&rec));
        }
    }
    printf("\n");
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
    // The records come through liblustreapi, as Lustre's lfs reads them.
    void* reader = nullptr;
    const int flags = CHANGELOG_FLAG_BLOCK | CHANGELOG_FLAG_JOBID | CHANGELOG_FLAG_EXTRA_FLAGS |
                      (follow ? CHANGELOG_FLAG_FOLLOW : 0);
    int rc = llapi_changelog_start(&reader, static_cast<enum changelog_send_flag>(flags), mdt.c_str(), start);
    if (rc < 0) {
        // lfs names itself in this message from 2.12.
        fprintf(stderr, "%s: %s\n", version.AtLeast(12) ? "lfs changelog: cannot start changelog" : "Can't start changelog",
                strerror(-rc));
        return -rc;
    }
    if (version.ExtraFlags()) {
        const int xflags = CHANGELOG_EXTRA_FLAG_UIDGID | CHANGELOG_EXTRA_FLAG_NID | CHANGELOG_EXTRA_FLAG_OMODE |
                           CHANGELOG_EXTRA_FLAG_XATTR;
        rc = llapi_changelog_set_xflags(reader, static_cast<enum changelog_send_extra_flag>(xflags));
        if (rc < 0) {
            fprintf(stderr, "lfs changelog: cannot set xflags for changelog: %s\n", strerror(-rc));
            llapi_changelog_fini(&reader);
            return -rc;
        }
    }
    // END 0 means no upper bound; lfs compares it as an unsigned record
    // number, so a negative END is no bound either.
    const unsigned long long last = static_cast<unsigned long long>(end);
    changelog_rec* rec = nullptr;
    while ((rc = llapi_changelog_recv(reader, &rec)) == 0) {
        const bool past = end != 0 && rec->cr_index > last;
        if (!past && rec->cr_index >= static_cast<unsigned long long>(start)) PrintRecord(version, *rec);
        llapi_changelog_free(&rec);
        if (past) break;
        // A following reader's lines are seen as they come.
        if (follow && fflush(stdout) != 0) break;
    }
    llapi_changelog_fini(&reader);
    if (rc < 0) {
        fprintf(stderr, "lfs changelog: cannot access changelog: %s\n", strerror(-rc));
        return -rc;
    }
    return 0;
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
    // As lfs does, so that liblustreapi's messages name the command.
    llapi_set_command_name("changelog_clear");
    const int rc = llapi_changelog_clear(args[0].c_str(), args[1].c_str(), endrec);
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
