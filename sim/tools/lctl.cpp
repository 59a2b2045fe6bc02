// Stand-in for Lustre's lctl: changelog user registration on an MDT and the
// get_param parameters mdd.<MDT>.changelog_users and mdc.<dev>.mds_conn_uuid,
// printed as the imitated Lustre version prints them.
#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ArgvLog.h"
#include "ChangelogStore.h"
#include "ChangelogText.h"
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
    int WithDevice(const std::vector<std::string>& args);
    int Register(const std::string& device, const std::vector<std::string>& args);
    int Deregister(const std::string& device, const std::vector<std::string>& args);
    int DeregisterOld(const std::string& device, const std::vector<std::string>& args);
    int GetParam(const std::vector<std::string>& args);
    [[nodiscard]] bool UpdateLog(const std::string& mdt, sim::MdtChangelog& log, bool save);

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

// Loads the MDT's changelog; with save, writes back what the caller changed.
bool Lctl::UpdateLog(const std::string& mdt, sim::MdtChangelog& log, bool save)
{
    std::string error;
    const bool ok = save ? sim::SaveChangelog(m_ctx.stateDir, mdt, log, error)
                         : sim::LoadChangelog(m_ctx.stateDir, mdt, log, error);
    if (!ok) fprintf(stderr, "lctl (stand-in): %s\n", error.c_str());
    return ok;
}

int Lctl::Run(const std::vector<std::string>& args)
{
    if (args.empty()) return Usage("");
    const std::string& command = args[0];
    if (command == "--device") return WithDevice(args);
    if (command == "get_param") return GetParam(args);
    if (command == "changelog_register" || command == "changelog_deregister") return Usage(command);
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

// getopt_long-like reading of "-x VALUE", "-xVALUE", "--long VALUE" and
// "--long=VALUE". Returns false on an unknown option or a missing value.
struct OptionRule {
    char letter;
    const char* name;
    bool hasValue;
};

bool ReadOptions(const std::vector<std::string>& args, const std::vector<OptionRule>& rules,
                 std::vector<std::pair<char, std::string>>& options, std::vector<std::string>& positional)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        const OptionRule* rule = nullptr;
        std::string value;
        bool inlineValue = false;
        if (arg[1] == '-') {
            const size_t eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            for (const auto& s : rules)
                if (name == s.name) rule = &s;
            if (rule && eq != std::string::npos) {
                value = arg.substr(eq + 1);
                inlineValue = true;
            }
        } else {
            for (const auto& s : rules)
                if (arg[1] == s.letter) rule = &s;
            if (rule && arg.size() > 2) {
                if (!rule->hasValue) return false;  // clustered flags are not needed here
                value = arg.substr(2);
                inlineValue = true;
            }
        }
        if (!rule || (inlineValue && !rule->hasValue)) return false;
        if (rule->hasValue && !inlineValue) {
            if (i + 1 >= args.size()) return false;
            value = args[++i];
        }
        options.emplace_back(rule->letter, value);
    }
    return true;
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
    std::string name;
    bool hasMask = false;
    uint32_t mask = sim::DefaultChangelogMask();
    if (!Version().NamedUsers()) {
        // Up to 2.14 the only option is -n, and any second argument is a usage error.
        if (args.size() > 1 || (args.size() == 1 && args[0] != "-n")) return Usage(cmd);
        nameOnly = args.size() == 1;
    } else {
        std::vector<std::pair<char, std::string>> options;
        std::vector<std::string> positional;
        if (!ReadOptions(args, {{'h', "help", false}, {'m', "mask", true}, {'n', "nameonly", false},
                                {'u', "user", true}},
                         options, positional) ||
            !positional.empty())
            return Usage(cmd);
        for (const auto& [letter, value] : options) {
            if (letter == 'h') return Usage(cmd);
            if (letter == 'n') nameOnly = true;
            if (letter == 'u') name = value;
            if (letter == 'm') {
                if (!sim::ParseChangelogMask(value, mask)) return Fail(cmd, strerror(EINVAL), EINVAL);
                hasMask = true;
            }
        }
        bool named = false;
        for (const auto& option : options) named = named || option.first == 'u';
        if (named) {
            if (int err = CheckUserName(name)) return Fail(cmd, strerror(err), err);
        }
        hasMask = hasMask || named;
    }

    sim::StateLock lock(m_ctx.stateDir);
    if (!lock.Locked()) return Unlocked(lock);
    sim::MdtChangelog log;
    if (!UpdateLog(device, log, false)) return 1;
    const std::string stored = name.substr(0, kMaxStoredName);
    if (!stored.empty()) {
        for (const auto& u : log.users)
            if (u.name == stored) return Fail(cmd, "User exists", EEXIST);
    }
    sim::ChangelogUser user;
    user.id = ++log.lastUser;
    user.endrec = log.index;
    user.clearTime = sim::SimNow(m_ctx.stateDir);
    user.name = stored;
    user.extended = hasMask;
    user.mask = mask;
    log.users.push_back(user);
    if (!UpdateLog(device, log, true)) return 1;

    const std::string id = "cl" + std::to_string(user.id) + (name.empty() ? "" : "-" + name);
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
    sim::MdtChangelog log;
    if (!UpdateLog(device, log, false)) return 1;
    auto it = std::find_if(log.users.begin(), log.users.end(), [id](const auto& u) { return u.id == id; });
    if (it == log.users.end()) return Fail(cmd, strerror(ENOENT), ENOENT);
    log.users.erase(it);
    log.Purge();
    if (!UpdateLog(device, log, true)) return 1;
    printf("%s: Deregistered changelog user 'cl%lld'\n", device.c_str(), id);
    return 0;
}

int Lctl::Deregister(const std::string& device, const std::vector<std::string>& args)
{
    if (!Version().NamedUsers()) return DeregisterOld(device, args);
    const char* cmd = "changelog_deregister";
    std::vector<std::pair<char, std::string>> options;
    std::vector<std::string> positional;
    if (!ReadOptions(args, {{'h', "help", false}, {'u', "user", true}}, options, positional) ||
        positional.size() > 1)
        return Usage(cmd);
    bool byName = false;
    std::string name;
    for (const auto& [letter, value] : options) {
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
    sim::MdtChangelog log;
    if (!UpdateLog(device, log, false)) return 1;
    const std::string stored = name.substr(0, kMaxStoredName);
    auto it = std::find_if(log.users.begin(), log.users.end(), [&](const sim::ChangelogUser& u) {
        return (id == 0 || u.id == id) && (!byName || (!u.name.empty() && u.name == stored));
    });
    if (it == log.users.end()) return Fail(cmd, "User not found", ENOENT);
    const int removed = it->id;
    log.users.erase(it);
    log.Purge();
    if (!UpdateLog(device, log, true)) return 1;
    printf("%s: Deregistered changelog user #%d\n", device.c_str(), removed);
    return 0;
}

int Lctl::GetParam(const std::vector<std::string>& args)
{
    bool valueOnly = false;
    std::vector<std::string> patterns;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "-n")
            valueOnly = true;
        else if (args[i].size() > 1 && args[i][0] == '-')
            return Usage("get_param");
        else
            patterns.push_back(args[i]);
    }
    if (patterns.empty()) return Usage("get_param");

    // Every parameter of this node, by its path with '/' for '.'.
    struct Param {
        std::string path;
        std::string name;
        std::string mdt;  // changelog_users: the MDT; empty for mds_conn_uuid
        std::string value;
    };
    std::vector<Param> params;
    for (const auto& mdt : m_ctx.LocalMdts())
        params.push_back({"mdd/" + mdt + "/changelog_users", "mdd." + mdt + ".changelog_users", mdt, ""});
    for (const auto& mount : m_ctx.config.mounts) {
        const sim::FileSystem* fs = m_ctx.config.FindFs(mount.fs);
        for (int i = 0; fs && i < fs->mdts; ++i) {
            const std::string dev = sim::MdtName(fs->name, i) + "-mdc-" + mount.instance;
            const sim::MdsServer* server = m_ctx.config.FindServer(fs->name, i);
            params.push_back({"mdc/" + dev + "/mds_conn_uuid", "mdc." + dev + ".mds_conn_uuid", "",
                              (server ? server->nid : "<none>") + "\n"});
        }
    }
    std::sort(params.begin(), params.end(), [](const Param& a, const Param& b) { return a.path < b.path; });

    int status = 0;
    for (const auto& pattern : patterns) {
        std::string path = pattern;
        std::replace(path.begin(), path.end(), '.', '/');
        bool matched = false;
        for (auto& p : params) {
            if (fnmatch(path.c_str(), p.path.c_str(), FNM_PATHNAME) != 0) continue;
            matched = true;
            if (!p.mdt.empty()) {
                sim::StateLock lock(m_ctx.stateDir);
                if (!lock.Locked()) return Unlocked(lock);
                sim::MdtChangelog log;
                if (!UpdateLog(p.mdt, log, false)) return 1;
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

int main(int argc, char* argv[])
{
    sim::LogArgv("lctl", argc, argv);
    sim::ToolContext ctx;
    if (!ctx.Load("lctl")) return 1;
    Lctl lctl(ctx);
    const int status = lctl.Run(std::vector<std::string>(argv + 1, argv + argc));
    fflush(stdout);
    return status;
}
