// lustre-sim: sets up and drives a stand-in state directory (see README.md).
#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChangelogClear.h"
#include "ChangelogFeed.h"
#include "ChangelogStore.h"
#include "ChangelogText.h"
#include "FidStore.h"
#include "FidText.h"
#include "Getopt.h"
#include "LustreVersion.h"
#include "NidText.h"
#include "Populate.h"
#include "SimConfig.h"
#include "ToolContext.h"
#include "Watcher.h"
#include "WholeNumber.h"

namespace {

constexpr int kUsage = 2;

const char kUsageText[] =
    "usage: lustre-sim [--state DIR] COMMAND ARGS...\n"
    "  init DIR [--version V]            create a state directory\n"
    "  version V                         set the imitated Lustre version\n"
    "  add-fs NAME [--mdts N]            add a file system with N MDTs (1)\n"
    "  mount NAME DIR [--instance HEX]   mount a file system (repeatable)\n"
    "  add-archive NAME ID DIR           an HSM archive of a file system\n"
    "  add-mds NAME INDEX HOST NID       the server of an MDT\n"
    "  allow-login USER HOST             let USER log in to HOST over ssh\n"
    "  set-time SECONDS                  fix the stand-in clock\n"
    "  changelog-append MDT TYPE [--name N] [--fid F] [--parent F] [--jobid J]\n"
    "      [--flags X] [--time S[.NS]] [--uid U] [--gid G] [--nid NID]\n"
    "      [--ef X | --no-extra] [--mode M] [--xattr X]\n"
    "      [--sfid F --sparent F --sname N] [--count N]\n"
    "                                    append N (1) records, print the last index\n"
    "  changelog-clear MDT ID ENDREC     clear a user's records up to ENDREC (0: all)\n"
    "  remount-mdt MDT                   restart the MDT's user id counter\n"
    "  populate FS COUNT                 make COUNT files with FIDs, sizes and CREAT records\n"
    "  watch FS                          record what happens to the files of FS\n"
    "  watch-flush FS                    wait until the watcher has written it all\n"
    "  unwatch FS                        flush, then stop the watcher\n"
    "  unload-modules HOST               take Lustre's modules off a node\n"
    "  load-modules HOST                 put them back (HOST localhost: this node)\n"
    "  hang HOST                         make a server stop answering: lctl on it, and lfs and\n"
    "                                    lctl of the MDTs it serves, wait until unhang\n"
    "  unhang HOST                       let it answer again\n";

int Fail(const std::string& message, int status = 1)
{
    fprintf(stderr, "lustre-sim: %s\n", message.c_str());
    return status;
}

int Usage()
{
    fputs(kUsageText, stderr);
    return kUsage;
}

// A whole number; in base 16 with or without "0x".
template <typename T>
bool Number(const std::string& text, T& value, int base = 10)
{
    const bool prefixed = base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    return common::WholeNumber(std::string_view(text).substr(prefixed ? 2 : 0), value, base);
}

// A command's operands and options (by name), read with getopt_long.
struct CommandLine {
    std::vector<std::string> operands;  // the command's name first
    std::map<std::string, std::string> options;
};

// names lists the options that take a value, flags those that take none.
// False, with glibc's message printed, on an option not among them.
bool ReadCommand(const std::vector<std::string>& args, std::vector<std::string> names, size_t flags, CommandLine& line)
{
    std::vector<sim::LongOption> table;
    for (size_t i = 0; i < names.size(); ++i)
        table.push_back({names[i].c_str(), static_cast<char>(i + 1), i + flags < names.size()});
    sim::ParsedOptions parsed;
    std::string badArg, message;
    if (!sim::Getopt("lustre-sim", std::vector<std::string>(args.begin() + 1, args.end()), "", &table, parsed, badArg,
                     message)) {
        fprintf(stderr, "%s\n", message.c_str());
        return false;
    }
    line.operands = {args[0]};
    line.operands.insert(line.operands.end(), parsed.operands.begin(), parsed.operands.end());
    for (const auto& [letter, value] : parsed.options)
        line.options["--" + names[static_cast<size_t>(letter) - 1]] = value;
    return true;
}

// A FID as llapi_fid_parse reads it, with nothing after it.
bool WholeFid(const std::string& text, lu_fid& fid)
{
    char* end = nullptr;
    return sim::lib::ParseFid(text.c_str(), &fid, &end) == 0 && *end == '\0';
}

bool ValidFsName(const std::string& name)
{
    if (name.empty() || name.size() > 8) return false;
    for (unsigned char c : name)
        if (!isalnum(c) && c != '_' && c != '-') return false;
    return true;
}

// "lustre-MDT0000" of a configured file system: the file system and index.
bool FindMdt(const sim::Config& config, const std::string& mdt, std::string& fs, int& index)
{
    for (const auto& f : config.fileSystems)
        for (int i = 0; i < f.mdts; ++i)
            if (sim::MdtName(f.name, i) == mdt) {
                fs = f.name;
                index = i;
                return true;
            }
    return false;
}

class LustreSim {
public:
    LustreSim(std::string stateDir, std::vector<std::string> args)
        : m_state(std::move(stateDir)), m_args(std::move(args))
    {
    }
    int Run();

private:
    bool Load();
    bool Save();
    int Init();
    int AddFs();
    int Mount();
    int ChangelogAppend();
    int ChangelogClear();
    int RemountMdt();
    int Watch();
    bool OpenDb();

    std::string m_state;
    std::unique_ptr<sim::StateDb> m_db;
    std::vector<std::string> m_args;
    sim::Config m_config;
    std::string m_error;
};

bool LustreSim::Load()
{
    if (m_state.empty()) {
        m_error = "no state directory: set LUSTRE_SIM_STATE or pass --state DIR";
        return false;
    }
    return sim::LoadConfig(m_state, m_config, m_error);
}

bool LustreSim::OpenDb()
{
    if (!m_db) m_db = sim::StateDb::Open(m_state, m_error);
    return m_db != nullptr;
}

bool LustreSim::Save() { return sim::SaveConfig(m_state, m_config, m_error); }

int LustreSim::Init()
{
    CommandLine line;
    if (!ReadCommand(m_args, {"version"}, 0, line)) return kUsage;
    if (line.operands.size() != 2) return Usage();
    m_state = line.operands[1];
    sim::LustreVersion version;
    if (line.options.count("--version")) {
        const std::string& v = line.options["--version"];
        if (!sim::LustreVersion::Parse(v, version)) return Fail("unsupported version '" + v + "'");
        m_config.version = v;
    }
    if (mkdir(m_state.c_str(), 0755) != 0 && errno != EEXIST)
        return Fail("cannot create " + m_state + ": " + strerror(errno));
    struct stat st {};
    if (stat((m_state + "/config").c_str(), &st) == 0) return Fail(m_state + " already holds a config");
    return Save() ? 0 : Fail(m_error);
}

int LustreSim::AddFs()
{
    CommandLine line;
    if (!ReadCommand(m_args, {"mdts"}, 0, line)) return kUsage;
    if (line.operands.size() != 2) return Usage();
    sim::FileSystem fs{line.operands[1], 1};
    const auto mdts = line.options.find("--mdts");
    if (mdts != line.options.end() && (!Number(mdts->second, fs.mdts) || fs.mdts < 1 || fs.mdts > 0xffff))
        return Fail("bad MDT count '" + mdts->second + "'");
    if (!ValidFsName(fs.name)) return Fail("bad file system name '" + fs.name + "' (1 to 8 of A-Z a-z 0-9 _ -)");
    if (m_config.FindFs(fs.name)) return Fail("file system " + fs.name + " exists");
    m_config.fileSystems.push_back(fs);
    return Save() ? 0 : Fail(m_error);
}

int LustreSim::Mount()
{
    CommandLine line;
    if (!ReadCommand(m_args, {"instance"}, 0, line)) return kUsage;
    if (line.operands.size() != 3) return Usage();
    sim::Mount mount{line.operands[1], line.operands[2], ""};
    if (!m_config.FindFs(mount.fs)) return Fail("no file system " + mount.fs);
    if (mount.dir.empty() || mount.dir[0] != '/') return Fail("mount directory must be absolute: " + mount.dir);
    while (mount.dir.size() > 1 && mount.dir.back() == '/') mount.dir.pop_back();
    if (line.options.count("--instance")) {
        mount.instance = line.options["--instance"];
        unsigned long long v = 0;
        if (mount.instance.size() != 16 || !Number(mount.instance, v, 16) ||
            mount.instance.find_first_of("ABCDEF") != std::string::npos)
            return Fail("instance must be 16 lower-case hex digits: " + mount.instance);
    } else {
        // Distinct kernel-pointer-like instances, the first as in Lustre's samples.
        char buf[20];
        snprintf(buf, sizeof buf, "%016llx", 0xffff8803f0d41000ULL + 0x800ULL * m_config.mounts.size());
        mount.instance = buf;
    }
    for (const auto& m : m_config.mounts)
        if (m.instance == mount.instance) return Fail("instance " + mount.instance + " is in use");
    m_config.mounts.push_back(mount);
    return Save() ? 0 : Fail(m_error);
}

int LustreSim::ChangelogAppend()
{
    CommandLine line;
    if (!ReadCommand(m_args,
                     {"name", "fid", "parent", "jobid", "flags", "time", "uid", "gid", "nid", "ef", "mode", "xattr",
                      "sfid", "sparent", "sname", "count", "no-extra"},
                     1, line))
        return kUsage;
    if (line.operands.size() != 3) return Usage();
    const std::string& mdt = line.operands[1];
    std::string fs;
    int mdtIndex = 0;
    if (!FindMdt(m_config, mdt, fs, mdtIndex)) return Fail("no MDT " + mdt);
    sim::ChangelogRecord r;
    r.type = sim::ChangelogTypeFromText(line.operands[2]);
    if (r.type < 0) return Fail("unknown record type '" + line.operands[2] + "'");
    const std::map<std::string, std::string>& opts = line.options;
    const bool noExtra = opts.count("--no-extra") != 0;
    auto has = [&](const char* key) { return opts.count(key) != 0; };
    auto get = [&](const char* key) { return has(key) ? opts.at(key) : std::string(); };
    r.name = get("--name");
    r.jobid = get("--jobid");
    r.xattr = get("--xattr");
    r.sname = get("--sname");
    // A record keeps its NID and open mode as Lustre does, as numbers: only
    // a text that is some number's can be stored.
    if (has("--nid") && !common::ParseNid(get("--nid"), r.nid))
        return Fail("bad NID '" + get("--nid") + "' (as Lustre prints one: 10.0.0.1@tcp, 0@lo, 5@gni1, a@<17:0>, <?>)");
    if (!sim::OpenFlagsOfMode(get("--mode"), r.openFlags))
        return Fail("bad mode '" + get("--mode") + "' (as lfs prints one: r--, -w-, rw-, --x)");
    if (has("--fid") && !WholeFid(get("--fid"), r.tfid)) return Fail("bad FID '" + get("--fid") + "'");
    if (has("--parent") && !WholeFid(get("--parent"), r.pfid)) return Fail("bad FID '" + get("--parent") + "'");
    // A name with directories is a path below the mount: the record names
    // the last part, in the directory that holds it.
    const size_t slash = r.name.find_last_of('/');
    if (slash != std::string::npos && !has("--parent")) {
        const std::string dir = r.name.substr(0, slash);
        if (!sim::LibraryFid(m_state, fs, dir, r.pfid)) return Fail("no directory " + dir + " in " + fs);
        r.name.erase(0, slash + 1);
    } else if (!has("--parent") && !r.name.empty()) {
        r.pfid = lu_fid{sim::lib::kSeqRoot, 1, 0};  // the root
    }
    // A name of an existing object carries its FID.
    const bool realFid = !has("--fid") && !r.name.empty() && sim::LibraryFid(m_state, fs, get("--name"), r.tfid);
    if (has("--flags") && !Number(get("--flags"), r.flags, 16)) return Fail("bad flags '" + get("--flags") + "'");
    if (has("--uid") && !Number(get("--uid"), r.uid)) return Fail("bad uid '" + get("--uid") + "'");
    if (has("--gid") && !Number(get("--gid"), r.gid)) return Fail("bad gid '" + get("--gid") + "'");
    uint64_t extraFlags = 0;
    if (has("--ef") && !Number(get("--ef"), extraFlags, 16)) return Fail("bad extra flags '" + get("--ef") + "'");
    if (has("--ef")) r.extraFlags = extraFlags;
    r.hasExtra = !noExtra;
    unsigned count = 1;
    if (has("--count") && (!Number(get("--count"), count) || count == 0 || count > 1000000))
        return Fail("bad count '" + get("--count") + "'");
    r.rename = has("--sfid") || has("--sparent") || has("--sname");
    if (r.rename &&
        (!WholeFid(get("--sfid"), r.sfid) || !WholeFid(get("--sparent"), r.spfid) || get("--sname").empty()))
        return Fail("a rename needs --sfid, --sparent and --sname");
    if (has("--time")) {
        const std::string& t = get("--time");
        const size_t dot = t.find('.');
        if (!Number(t.substr(0, dot), r.sec) ||
            (dot != std::string::npos && (t.size() - dot - 1 > 9 || !Number(t.substr(dot + 1), r.nsec))))
            return Fail("bad time '" + t + "' (SECONDS[.NANOSECONDS])");
        if (dot != std::string::npos)
            for (size_t digits = t.size() - dot - 1; digits < 9; ++digits) r.nsec *= 10;
    }
    if (const std::string refusal = sim::ChangelogRecordRefusal(r); !refusal.empty())
        return Fail("an MDT cannot write this record: " + refusal);

    if (!OpenDb()) return Fail(m_error);
    sim::Transaction tx(*m_db);
    sim::ChangelogStore store(*m_db, mdt);
    // A record of no existing object names a new one: its FID comes from
    // the library's allocator, so no file made later gets it too.
    sim::lib::FidStore fids(m_db.get());
    if (!has("--time")) r.sec = sim::SimNow(m_state);
    for (unsigned i = 0; i < count && tx.Begun(); ++i) {
        if (!has("--fid") && !realFid) r.tfid = fids.Allocate(fs, mdtIndex);
        if (!sim::AppendChangelogRecord(store, r)) break;
    }
    if (!tx.Commit()) return Fail(tx.Error());
    printf("%llu\n", static_cast<unsigned long long>(r.index));
    return 0;
}

int LustreSim::ChangelogClear()
{
    int id = 0;
    unsigned long long endrec = 0;
    if (m_args.size() != 4) return Usage();
    std::string idText = m_args[2].compare(0, 2, "cl") == 0 ? m_args[2].substr(2) : m_args[2];
    if (!Number(idText.substr(0, idText.find('-')), id)) return Fail("bad user id '" + m_args[2] + "'");
    if (!Number(m_args[3], endrec)) return Fail("bad record number '" + m_args[3] + "'");
    std::string fs;
    int index = 0;
    if (!FindMdt(m_config, m_args[1], fs, index)) return Fail("no MDT " + m_args[1]);
    sim::LustreVersion version;
    if (!sim::LustreVersion::Parse(m_config.version, version)) return Fail("unsupported version " + m_config.version);
    if (!OpenDb()) return Fail(m_error);
    sim::Transaction tx(*m_db);
    sim::ChangelogStore store(*m_db, m_args[1]);
    sim::MdtChangelog log;
    if (!tx.Begun() || !store.LoadHead(log)) return Fail(tx.Error());
    // The MDT's own rules, as "lfs changelog_clear" meets them.
    const int rc = sim::ClearChangelogUser(version, log, static_cast<uint32_t>(id), endrec, sim::SimNow(m_state));
    if (rc == -ENOENT) return Fail("no changelog user cl" + std::to_string(id) + " on " + m_args[1]);
    if (rc == -EINVAL) return Fail("record " + m_args[3] + " is beyond the current index or below the user's");
    return store.SaveHead(log) && tx.Commit() ? 0 : Fail(tx.Error());
}

int LustreSim::RemountMdt()
{
    if (m_args.size() != 2) return Usage();
    std::string fs;
    int index = 0;
    if (!FindMdt(m_config, m_args[1], fs, index)) return Fail("no MDT " + m_args[1]);
    if (!OpenDb()) return Fail(m_error);
    sim::Transaction tx(*m_db);
    sim::ChangelogStore store(*m_db, m_args[1]);
    sim::MdtChangelog log;
    if (!tx.Begun() || !store.LoadHead(log)) return Fail(tx.Error());
    // The id counter restarts from the highest surviving user, as at mount.
    log.lastUser = 0;
    for (const auto& u : log.users) log.lastUser = std::max(log.lastUser, u.id);
    return store.SaveHead(log) && tx.Commit() ? 0 : Fail(tx.Error());
}

int LustreSim::Watch()
{
    constexpr int kTimeoutMs = 30000;
    if (m_args.size() != 2) return Usage();
    if (!Load()) return Fail(m_error);
    const std::string& fs = m_args[1];
    if (!m_config.FindFs(fs)) return Fail("no file system " + fs);
    bool ok;
    if (m_args[0] == "watch")
        ok = sim::StartWatcher(m_state, m_config, fs, m_error);
    else
        ok = sim::FlushWatcher(m_state, fs, m_args[0] == "unwatch", kTimeoutMs, m_error);
    return ok ? 0 : Fail(m_error);
}

int LustreSim::Run()
{
    if (m_args.empty()) return Usage();
    const std::string& cmd = m_args[0];
    if (cmd == "init") return Init();
    if (cmd == "help") {
        fputs(kUsageText, stdout);
        return 0;
    }
    // The watcher takes the lock for each batch it writes: never wait for
    // it while holding the lock.
    if (cmd == "watch" || cmd == "watch-flush" || cmd == "unwatch") return Watch();
    // One lock for the whole command: the config and the changelogs change
    // together with the tools that read them.
    sim::StateLock lock(m_state);
    if (!lock.Locked()) return Fail(lock.Error());
    if (!Load()) return Fail(m_error);
    if (cmd == "version") {
        sim::LustreVersion v;
        if (m_args.size() != 2) return Usage();
        if (!sim::LustreVersion::Parse(m_args[1], v)) return Fail("unsupported version '" + m_args[1] + "'");
        m_config.version = m_args[1];
        return Save() ? 0 : Fail(m_error);
    }
    if (cmd == "add-fs") return AddFs();
    if (cmd == "mount") return Mount();
    if (cmd == "add-archive") {
        if (m_args.size() != 4) return Usage();
        sim::Archive a{m_args[1], 0, m_args[3]};
        if (!m_config.FindFs(a.fs)) return Fail("no file system " + a.fs);
        if (!Number(m_args[2], a.id) || a.id < 0) return Fail("bad archive id '" + m_args[2] + "'");
        m_config.archives.push_back(a);
        return Save() ? 0 : Fail(m_error);
    }
    if (cmd == "add-mds") {
        if (m_args.size() != 5) return Usage();
        sim::MdsServer s{m_args[1], 0, m_args[3], m_args[4]};
        const sim::FileSystem* fs = m_config.FindFs(s.fs);
        if (!fs) return Fail("no file system " + s.fs);
        if (!Number(m_args[2], s.index) || s.index < 0 || s.index >= fs->mdts)
            return Fail("bad MDT index '" + m_args[2] + "'");
        if (m_config.FindServer(s.fs, s.index)) return Fail("MDT " + m_args[2] + " of " + s.fs + " has a server");
        m_config.servers.push_back(s);
        return Save() ? 0 : Fail(m_error);
    }
    if (cmd == "allow-login") {
        if (m_args.size() != 3) return Usage();
        if (!m_config.LoginAllowed(m_args[1], m_args[2])) m_config.logins.push_back({m_args[1], m_args[2]});
        return Save() ? 0 : Fail(m_error);
    }
    if (cmd == "set-time") {
        long long seconds = 0;
        if (m_args.size() != 2 || !Number(m_args[1], seconds)) return Usage();
        return sim::SetSimNow(m_state, seconds, m_error) ? 0 : Fail(m_error);
    }
    if (cmd == "changelog-append") return ChangelogAppend();
    if (cmd == "changelog-clear") return ChangelogClear();
    if (cmd == "remount-mdt") return RemountMdt();
    if (cmd == "populate") {
        unsigned long long count = 0;
        if (m_args.size() != 3 || !Number(m_args[2], count) || count == 0) return Usage();
        if (!m_config.FindFs(m_args[1])) return Fail("no file system " + m_args[1]);
        return sim::Populate(m_state, m_config, m_args[1], count, m_error) ? 0 : Fail(m_error);
    }
    if (cmd == "unload-modules" || cmd == "load-modules") {
        if (m_args.size() != 2 || m_args[1].empty() || m_args[1].find_first_of(" \t\n") != std::string::npos)
            return Usage();
        return sim::SetNodeListed(m_state, "unloaded", m_args[1], cmd == "unload-modules", m_error) ? 0 : Fail(m_error);
    }
    if (cmd == "hang" || cmd == "unhang") {
        if (m_args.size() != 2 || m_args[1].empty() || m_args[1].find_first_of(" \t\n") != std::string::npos)
            return Usage();
        return sim::SetNodeListed(m_state, "hung", m_args[1], cmd == "hang", m_error) ? 0 : Fail(m_error);
    }
    return Usage();
}

}  // namespace

int main(int argc, char* argv[])
{
    // The options before the command; the command reads its own.
    static const option kOptions[] = {
        {"state", required_argument, nullptr, 's'}, {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    std::string state = sim::StateDir();
    for (int c; (c = getopt_long(argc, argv, "+h", kOptions, nullptr)) != -1;) {
        if (c == 'h') return fputs(kUsageText, stdout) < 0;
        if (c != 's') return Usage();
        state = optarg;
    }
    return LustreSim(state, std::vector<std::string>(argv + optind, argv + argc)).Run();
}
