// Stand-in for Lustre's lctl: changelog user registration on an MDT and the
// get_param parameters mdd.<MDT>.changelog_users and mdc.<dev>.mds_conn_uuid,
// printed as the imitated Lustre version prints them.
#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ArgvLog.h"
#include "ChangelogMask.h"
#include "ChangelogStore.h"
#include "ChangelogText.h"
#include "Getopt.h"
#include "Interactive.h"
#include "LctlHelp.h"
#include "ParamFraming.h"
#include "ToolContext.h"

namespace {

using sim::LustreVersion;

constexpr int kCmdHelp = 4;  // lctl's CMD_HELP: a usage error
constexpr size_t kMaxStoredName = 15;
constexpr size_t kMaxName = 16;

class Lctl {
public:
    explicit Lctl(sim::ToolContext& ctx) : m_ctx(ctx) {}

    int Run(const std::vector<std::string>& args);

private:
    int Usage(const std::string& command) const;
    int Fail(const char* command, const char* text, int status) const;
    int Unlocked(const sim::StateLock& lock) const;
    int StoreFailed(const sim::Transaction& tx) const;
    int WithDevice(const std::vector<std::string>& args);
    int Register(const std::string& device, const std::vector<std::string>& args);
    int Deregister(const std::string& device, const std::vector<std::string>& args);
    int DeregisterOld(const std::string& device, const std::vector<std::string>& args);
    int GetParam(const std::vector<std::string>& args);

    const LustreVersion& Version() const { return m_ctx.version; }

    sim::ToolContext& m_ctx;
};

int Lctl::Usage(const std::string& command) const
{
    fprintf(Version().HelpOnStdout() ? stdout : stderr, "%s\n", sim::LctlHelp(Version(), command).c_str());
    return kCmdHelp;
}

int Lctl::Fail(const char* command, const char* text, int status) const
{
    fprintf(stderr, "error: %s: %s\n", command, text);
    return status;
}

// The state lock could not be taken: nothing is read or changed.
int Lctl::Unlocked(const sim::StateLock& lock) const
{
    fprintf(stderr, "lctl (stand-in): %s\n", lock.Error().c_str());
    return 1;
}

// The state store failed: nothing is changed.
int Lctl::StoreFailed(const sim::Transaction& tx) const
{
    fprintf(stderr, "lctl (stand-in): %s\n", tx.Error().c_str());
    return 1;
}

int Lctl::Run(const std::vector<std::string>& args)
{
    if (args.empty()) return Usage("");
    const std::string& command = args[0];
    if (command == "--device") return WithDevice(args);
    if (command == "get_param") return GetParam(args);
    if (command == "changelog_register" || command == "changelog_deregister") {
        // A node serving no MDT runs a client-only build, whose lctl has
        // these commands as stubs (2.15 client packages).
        if (Version().AtLeast(15) && m_ctx.LocalMdts().empty()) return Fail(command.c_str(), "invalid ioctl", 95);
        return Usage(command);
    }
    fprintf(stderr, "lctl (stand-in): unsupported command '%s'\n", command.c_str());
    return kCmdHelp;
}

int Lctl::WithDevice(const std::vector<std::string>& args)
{
    if (args.size() < 3) {
        fprintf(stderr, "usage: --device devno <command [args ...]>\n");
        return 1;
    }
    const std::string& device = args[1];
    const std::string& command = args[2];
    const std::vector<std::string> rest(args.begin() + 3, args.end());
    if (!m_ctx.ModulesLoaded()) {
        // lctl opens /dev/obd before it looks the device up.
        fprintf(stderr,
                "opening /dev/obd failed: %s\n"
                "hint: the kernel modules may not be loaded\n"
                "No device found for name %s: %s\n",
                strerror(ENOENT), device.c_str(), strerror(ENOENT));
        return 1;
    }
    const bool numeric = std::all_of(device.begin(), device.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!numeric && !m_ctx.IsLocalMdt(device)) {
        fprintf(stderr, "No device found for name %s: %s\n", device.c_str(), strerror(EINVAL));
        return 1;
    }
    if (command == "changelog_register") return numeric ? Usage(command) : Register(device, rest);
    if (command == "changelog_deregister") return numeric ? Usage(command) : Deregister(device, rest);
    fprintf(stderr, "lctl (stand-in): unsupported command '%s'\n", command.c_str());
    return kCmdHelp;
}

// Options of a subcommand through getopt_long. The subcommands other than
// get_param report a bad option by their help alone.
bool ReadOptions(const std::vector<std::string>& args, const std::string& letters,
                 const std::vector<sim::LongOption>& longOptions, sim::ParsedOptions& parsed)
{
    std::string badArg, message;
    return sim::Getopt("lctl", args, letters, &longOptions, parsed, badArg, message);
}

// A get_param pattern (with '/' for '.') matches a parameter's path, or
// with -R any directory above it.
bool Matches(const std::string& pattern, const std::string& path, bool recursive)
{
    if (fnmatch(pattern.c_str(), path.c_str(), FNM_PATHNAME) == 0) return true;
    for (size_t slash = path.find('/'); recursive && slash != std::string::npos; slash = path.find('/', slash + 1))
        if (fnmatch(pattern.c_str(), path.substr(0, slash).c_str(), FNM_PATHNAME) == 0) return true;
    return false;
}

// mdd.*.changelog_mask's text: the names of the set bits, each followed by
// a blank.
std::string MaskWords(uint32_t mask)
{
    std::string out;
    for (int t = 0; t < sim::kChangelogTypeCount; ++t)
        if (mask & (1u << t)) out += std::string(sim::ChangelogTypeName(t)) + " ";
    return out;
}

// 2.15's rule for user names: a letter, then letters, digits, '_' and '-'.
int CheckUserName(const std::string& name)
{
    if (name.size() > kMaxName) return ENAMETOOLONG;
    if (name.empty() || !isalpha(static_cast<unsigned char>(name[0]))) return EINVAL;
    for (unsigned char c : name)
        if (!isalnum(c) && c != '_' && c != '-') return EINVAL;
    return 0;
}

int Lctl::Register(const std::string& device, const std::vector<std::string>& args)
{
    const char* cmd = "changelog_register";
    bool nameOnly = false;
    bool named = false;
    std::string name;
    bool hasMask = false;
    std::string maskText;
    if (!Version().NamedUsers()) {
        // Up to 2.14 the only option is -n, and any second argument is a usage error.
        if (args.size() > 1 || (args.size() == 1 && args[0] != "-n")) return Usage(cmd);
        nameOnly = args.size() == 1;
    } else {
        sim::ParsedOptions parsed;
        if (!ReadOptions(args, "hm:nu:",
                         {{"help", 'h', false}, {"mask", 'm', true}, {"nameonly", 'n', false}, {"user", 'u', true}},
                         parsed) ||
            !parsed.operands.empty())
            return Usage(cmd);
        for (const auto& [letter, value] : parsed.options) {
            if (letter == 'h') return Usage(cmd);
            if (letter == 'n') nameOnly = true;
            if (letter == 'u') {
                named = true;
                name = value;
            }
            if (letter == 'm') {
                hasMask = true;
                maskText = value;
            }
        }
    }

    // The state lock keeps the tools in step with "lustre-sim", which changes
    // the config under it.
    sim::StateLock lock(m_ctx.stateDir);
    if (!lock.Locked()) return Unlocked(lock);
    sim::StateDb* db = m_ctx.Db();
    if (!db) return 1;
    sim::Transaction tx(*db);
    sim::ChangelogStore store(*db, device);
    sim::MdtChangelog log;
    if (!tx.Begun() || !store.LoadHead(log)) return StoreFailed(tx);
    // The MDT hands out the id before it checks the name and the mask, so a
    // refused registration uses one up too.
    sim::ChangelogUser user;
    user.id = ++log.lastUser;
    const std::string stored = name.substr(0, kMaxStoredName);
    // An empty -u "" names no one: the MDT checks and keeps only a name
    // with a first character, though lctl prints the dash all the same.
    int err = !name.empty() ? CheckUserName(name) : 0;
    for (const auto& u : log.users)
        if (!err && !stored.empty() && u.name == stored) err = EEXIST;
    // A -u user without -m gets the default mask (the server-wide mask is
    // never changed here, so it is still MARK only).
    uint32_t mask = sim::DefaultChangelogMask();
    if (!err && hasMask && !sim::ParseChangelogMask(Version(), maskText, mask)) err = EINVAL;
    if (err) {
        if (!store.SaveHead(log) || !tx.Commit()) return StoreFailed(tx);
        return Fail(cmd, err == EEXIST ? "User exists" : strerror(err), err);
    }
    user.endrec = log.index;
    user.clearTime = sim::SimNow(m_ctx.stateDir);
    user.name = stored;
    user.extended = hasMask || !name.empty();
    user.mask = mask;
    log.users.push_back(user);
    if (!store.SaveHead(log) || !tx.Commit()) return StoreFailed(tx);

    const std::string id = "cl" + std::to_string(user.id) + (named ? "-" + name : "");
    if (nameOnly)
        printf("%s\n", id.c_str());
    else
        printf("%s: Registered changelog userid '%s'\n", device.c_str(), id.c_str());
    return 0;
}

// Reads "<digits>" at the start of text: the number and the rest.
bool LeadingNumber(const std::string& text, long long& value, std::string& rest)
{
    const char* begin = text.data();
    const char* end = begin + text.size();
    auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr == begin) return false;
    rest.assign(ptr, end);
    return true;
}

int Lctl::DeregisterOld(const std::string& device, const std::vector<std::string>& args)
{
    const char* cmd = "changelog_deregister";
    if (args.size() != 1) return Usage(cmd);
    // lctl reads the id with sscanf("cl%d"): blanks and a sign may follow
    // "cl", and anything after the digits is ignored.
    const std::string& arg = args[0];
    long long id = 0;
    std::string rest;
    bool ok = arg.compare(0, 2, "cl") == 0;
    if (ok) {
        size_t p = 2;
        while (p < arg.size() && isspace(static_cast<unsigned char>(arg[p]))) ++p;
        std::string digits = arg.substr(p);
        if (!digits.empty() && digits[0] == '+') digits.erase(0, 1);
        ok = LeadingNumber(digits, id, rest);
    }
    if (!ok) {
        if (Version().AtLeast(7))
            fprintf(stderr, "error: %s: expected id of the form cl<num> got '%s'\n", cmd, arg.c_str());
        else
            fprintf(stderr, "error: %s: expecting id of the form 'cl<num>'; got '%s'\n", cmd, arg.c_str());
        return Usage(cmd);
    }
    sim::StateLock lock(m_ctx.stateDir);
    if (!lock.Locked()) return Unlocked(lock);
    sim::StateDb* db = m_ctx.Db();
    if (!db) return 1;
    sim::Transaction tx(*db);
    sim::ChangelogStore store(*db, device);
    sim::MdtChangelog log;
    if (!tx.Begun() || !store.LoadHead(log)) return StoreFailed(tx);
    auto it = std::find_if(log.users.begin(), log.users.end(), [id](const auto& u) { return u.id == id; });
    if (it == log.users.end()) return Fail(cmd, strerror(ENOENT), ENOENT);
    log.users.erase(it);
    log.Purge();
    if (!store.SaveHead(log) || !tx.Commit()) return StoreFailed(tx);
    printf("%s: Deregistered changelog user 'cl%lld'\n", device.c_str(), id);
    return 0;
}

int Lctl::Deregister(const std::string& device, const std::vector<std::string>& args)
{
    if (!Version().NamedUsers()) return DeregisterOld(device, args);
    const char* cmd = "changelog_deregister";
    sim::ParsedOptions parsed;
    if (!ReadOptions(args, "hu:", {{"help", 'h', false}, {"user", 'u', true}}, parsed) || parsed.operands.size() > 1)
        return Usage(cmd);
    const std::vector<std::string>& positional = parsed.operands;
    bool byName = false;
    std::string name;
    for (const auto& [letter, value] : parsed.options) {
        if (letter == 'h') return Usage(cmd);
        byName = true;
        name = value;
    }
    long long id = 0;
    if (!positional.empty()) {
        // ID, clID or clID-name.
        const std::string& arg = positional[0];
        std::string body = arg.compare(0, 2, "cl") == 0 ? arg.substr(2) : arg;
        std::string rest;
        bool ok = !body.empty() && isdigit(static_cast<unsigned char>(body[0])) && LeadingNumber(body, id, rest) &&
                  id > 0 && id <= INT32_MAX;
        if (ok && !rest.empty()) {
            ok = rest[0] == '-' && rest.size() > 1;
            if (ok) {
                if (byName && name != rest.substr(1)) return Fail(cmd, "User not found", ENOENT);
                byName = true;
                name = rest.substr(1);
            }
        }
        if (!ok) {
            fprintf(stderr, "error: %s: expect <ID> or cl<ID>[-name] got '%s'\n", strerror(EINVAL), arg.c_str());
            return Usage(cmd);
        }
    }
    if (positional.empty() && !byName) return Usage(cmd);

    sim::StateLock lock(m_ctx.stateDir);
    if (!lock.Locked()) return Unlocked(lock);
    sim::StateDb* db = m_ctx.Db();
    if (!db) return 1;
    sim::Transaction tx(*db);
    sim::ChangelogStore store(*db, device);
    sim::MdtChangelog log;
    if (!tx.Begun() || !store.LoadHead(log)) return StoreFailed(tx);
    const std::string stored = name.substr(0, kMaxStoredName);
    auto it = std::find_if(log.users.begin(), log.users.end(), [&](const sim::ChangelogUser& u) {
        return (id == 0 || u.id == id) && (!byName || (!u.name.empty() && u.name == stored));
    });
    if (it == log.users.end()) return Fail(cmd, "User not found", ENOENT);
    const int removed = it->id;
    log.users.erase(it);
    log.Purge();
    if (!store.SaveHead(log) || !tx.Commit()) return StoreFailed(tx);
    printf("%s: Deregistered changelog user #%d\n", device.c_str(), removed);
    return 0;
}

// get_param's options: plain getopt up to 2.15, getopt_long from 2.16.
struct GetParamRules {
    std::string letters;
    std::vector<sim::LongOption> longOptions;
};

GetParamRules GetParamOptions(const LustreVersion& version)
{
    if (!version.AtLeast(16)) return {"FnNR", {}};
    GetParamRules rules{"FHlLnNRy",
                        {{"classify", 'F', false},
                         {"header", 'H', false},
                         {"links", 'l', false},
                         {"no-links", 'L', false},
                         {"no-name", 'n', false},
                         {"only-name", 'N', false},
                         {"recursive", 'R', false},
                         {"yaml", 'y', false}}};
    if (!version.AtLeast(17)) return rules;
    rules.letters = "bc:FHlLnNmMprRtwy";
    rules.longOptions.insert(rules.longOptions.end(), {{"dshbak", 'b', false},
                                                       {"color", 'c', true},
                                                       {"merge", 'm', false},
                                                       {"no-merge", 'M', false},
                                                       {"path", 'p', false},
                                                       {"readable", 'r', false},
                                                       {"only-tunable", 't', false},
                                                       {"writable", 'w', false}});
    if (version.AtLeast(17, LustreVersion::kDevelopmentPatch)) {
        rules.letters += "o";
        rules.longOptions.push_back({"module", 'o', false});
    }
    return rules;
}

int Lctl::GetParam(const std::vector<std::string>& args)
{
    const char* cmd = "get_param";
    const GetParamRules rules = GetParamOptions(Version());
    sim::ParsedOptions parsed;
    std::string badArg, message;
    if (!sim::Getopt(cmd, std::vector<std::string>(args.begin() + 1, args.end()), rules.letters,
                     rules.longOptions.empty() ? nullptr : &rules.longOptions, parsed, badArg, message)) {
        fprintf(stderr, "%s\n", message.c_str());
        return Usage(cmd);
    }
    bool valueOnly = false, nameOnly = false, recursive = false, classify = false;
    for (const auto& [letter, value] : parsed.options) {
        if (letter == 'n') {
            valueOnly = true;
        } else if (letter == 'N') {
            nameOnly = true;
        } else if (letter == 'R') {
            recursive = true;
        } else if (letter == 'c') {
            // Colour only ever goes to a terminal; "always" is not imitated.
            if (value != "auto" && value != "never" && value != "no" && value != "always" && value != "yes")
                return Usage(cmd);
            if (value == "always" || value == "yes") {
                fprintf(stderr, "lctl (stand-in): get_param --color=%s is not supported\n", value.c_str());
                return kCmdHelp;
            }
        } else if (letter == 'F') {
            classify = true;
        } else {
            fprintf(stderr, "lctl (stand-in): get_param -%c is not supported\n", letter);
            return kCmdHelp;
        }
    }
    const std::vector<std::string>& patterns = parsed.operands;
    if (patterns.empty()) return Usage(cmd);
    // A client's mdc parameters wait on the servers of its mounts.
    if (std::any_of(patterns.begin(), patterns.end(), [](const std::string& p) { return p.rfind("mdc", 0) == 0; })) {
        std::vector<std::string> mounted;
        for (const auto& mount : m_ctx.config.mounts)
            if (const sim::FileSystem* fs = m_ctx.config.FindFs(mount.fs))
                for (int i = 0; i < fs->mdts; ++i) mounted.push_back(sim::MdtName(fs->name, i));
        m_ctx.WaitWhileHung(mounted);
    }

    // Every parameter of this node, by its path with '/' for '.'.
    struct Param {
        std::string path;
        std::string name;
        std::string mdt;  // changelog_users: the MDT; empty for the others
        std::string value;
        bool writable = false;
    };
    std::vector<Param> params;
    // The server-wide mask is never changed here: it is the version's default,
    // MARK alone from 2.15, the default user mask before.
    const std::string serverMask =
        MaskWords(Version().NamedUsers() ? sim::kMinChangelogMask : sim::DefaultChangelogMask());
    // Without Lustre's modules there is no parameter at all.
    for (const auto& mdt : m_ctx.ModulesLoaded() ? m_ctx.LocalMdts() : std::vector<std::string>()) {
        params.push_back({"mdd/" + mdt + "/changelog_users", "mdd." + mdt + ".changelog_users", mdt, ""});
        params.push_back(
            {"mdd/" + mdt + "/changelog_mask", "mdd." + mdt + ".changelog_mask", "", serverMask + "\n", true});
    }
    for (const auto& mount : m_ctx.ModulesLoaded() ? m_ctx.config.mounts : std::vector<sim::Mount>()) {
        const sim::FileSystem* fs = m_ctx.config.FindFs(mount.fs);
        for (int i = 0; fs && i < fs->mdts; ++i) {
            const std::string dev = sim::MdtName(fs->name, i) + "-mdc-" + mount.instance;
            const sim::MdsServer* server = m_ctx.config.FindServer(fs->name, i);
            params.push_back({"mdc/" + dev + "/mds_conn_uuid", "mdc." + dev + ".mds_conn_uuid", "",
                              (server ? server->nid : "<none>") + "\n", false});
        }
    }
    std::sort(params.begin(), params.end(), [](const Param& a, const Param& b) { return a.path < b.path; });

    int status = 0;
    for (const auto& pattern : patterns) {
        std::string path = pattern;
        std::replace(path.begin(), path.end(), '.', '/');
        bool matched = false;
        for (auto& p : params) {
            if (!Matches(path, p.path, recursive)) continue;
            matched = true;
            if (nameOnly) {
                printf("%s%s\n", p.name.c_str(), classify && p.writable ? "=" : "");
                continue;
            }
            if (!p.mdt.empty()) {
                sim::StateLock lock(m_ctx.stateDir);
                if (!lock.Locked()) return Unlocked(lock);
                sim::StateDb* db = m_ctx.Db();
                if (!db) return 1;
                sim::Transaction tx(*db, sim::Transaction::kRead);
                sim::MdtChangelog log;
                if (!tx.Begun() || !sim::ChangelogStore(*db, p.mdt).LoadHead(log)) return StoreFailed(tx);
                p.value = sim::FormatChangelogUsers(Version(), log, sim::SimNow(m_ctx.stateDir));
            }
            fputs(sim::FrameParam(Version(), p.name, p.value, valueOnly).c_str(), stdout);
        }
        if (!matched) {
            fprintf(stderr, "error: get_param: param_path '%s': %s\n", path.c_str(), strerror(ENOENT));
            status = ENOENT;
        }
    }
    return status;
}

}  // namespace

namespace {

// "lctl help [CMD]": the command's help on stderr after "CMD: ", or lctl's
// own usage on stdout. A name that begins several commands is ambiguous.
int Help(const LustreVersion& version, const std::vector<std::string>& args)
{
    if (args.size() < 2) {
        printf("usage: lctl [COMMAND] [OPTIONS]... [ARGS]\n"
               "Without any parameters, interactive mode is invoked\n"
               "Try 'lctl help <COMMAND>' or 'lctl --list-commands' for more information\n");
        return 0;
    }
    static const char* const kCommands[] = {"changelog_register", "changelog_deregister", "get_param"};
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& command = args[i];
        std::vector<std::string> starting;
        bool exact = false;
        for (const char* known : kCommands) {
            exact = exact || command == known;
            if (std::string(known).compare(0, command.size(), command) == 0) starting.push_back(known);
        }
        if (exact) {
            fprintf(stderr, "%s: %s\n", command.c_str(), sim::LctlHelp(version, command).c_str());
        } else if (starting.size() > 1) {
            std::string options;
            for (const auto& name : starting) options += name + " ";
            fprintf(stderr, "Ambiguous command '%s'\nOptions: %s\n", command.c_str(), options.c_str());
        } else {
            fprintf(stderr, "%s: Unknown command.\n", command.c_str());
        }
    }
    return 0;
}

// The version of the state directory when there is one, else the default:
// help and --version work without a state directory.
LustreVersion QuietVersion()
{
    sim::ToolContext ctx;
    if (!getenv("LUSTRE_SIM_STATE")) return LustreVersion();
    return ctx.Load("lctl") ? ctx.version : LustreVersion();
}

// One command line (without "lctl"), as from the command line or from
// interactive input.
int RunCommand(const std::vector<std::string>& line)
{
    const std::string& first = line[0];
    if (first == "help") return Help(QuietVersion(), line);
    if (first == "--version") {
        printf("lctl %s\n", QuietVersion().ReleaseName().c_str());
        return 0;
    }
    if (first == "--help" || first == "-h") {
        printf("%s\n", sim::LctlHelp(LustreVersion(), "").c_str());
        return 0;
    }
    sim::ToolContext ctx;
    if (!ctx.Load("lctl")) return 1;
    ctx.WaitWhileHung();
    Lctl lctl(ctx);
    return lctl.Run(line);
}

}  // namespace

int main(int argc, char* argv[])
{
    sim::LogArgv("lctl", argc, argv);
    const int status = argc == 1 ? sim::RunInteractive("lctl", RunCommand)
                                 : RunCommand(std::vector<std::string>(argv + 1, argv + argc));
    fflush(stdout);
    return status;
}
