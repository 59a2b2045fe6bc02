// Job 5 of the demo host: what a policy engine or an indexer does on a client
// node. It follows the changelog as it grows, waits for each record as long
// as it chooses, acts on it and acknowledges it at once, so that the server
// keeps nothing it no longer needs; memory does not grow with the log.
#include "DemoFollower.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <vector>

#include "DemoWatcher.h"
#include "LustreAPI.h"

namespace demo {
namespace {

using std::chrono::milliseconds;

// How long the follower waits for the record of a change. The watcher has
// written it before the follower asks (a server writes it as it makes the
// change), so this only keeps a broken reader from hanging the demo.
constexpr milliseconds kRecordWait{60000};

struct Change {
    const char* what;
    const char* recordType;  // the record that tells of it
    const char* name;        // with this name
    std::function<bool()> make;
};

}  // namespace

bool RunFollower(Report& report, const std::string& fsName, const std::string& sshUser, const std::string& dir)
{
    report.Job("Changelog follower: follow the changelog live, acknowledge each record as it comes");
    std::vector<std::string> mdts, servers;
    CKxError error = LustreAPI::GetMDTList(fsName, mdts, servers);
    if (error.Failed() || mdts.empty()) return report.Fail("GetMDTList(" + Quoted(fsName) + ")", ErrorText(error));
    const std::string host = servers.front(), mdt = mdts.front();

    const std::string registerAsked =
        Format("RegisterChangelog(%s, %s, %s, %s)", host.c_str(), mdt.c_str(), fsName.c_str(), sshUser.c_str());
    report.Ask(registerAsked);
    std::string id;
    error = LustreAPI::RegisterChangelog(host, mdt, fsName, sshUser, id);
    if (error.Failed()) return report.Fail(registerAsked, ErrorText(error));
    report.Ok(registerAsked, "changelog reader " + Quoted(id));
    // A reader nobody reads keeps the MDT's changelog growing: deregistered on every way out.
    struct Deregister {
        std::function<void()> run;
        ~Deregister() { run(); }
    } deregister{[&] { LustreAPI::DeRegisterChangelog(host, mdt, fsName, sshUser, id); }};

    // Where the reader stands on the server is where reading starts, also
    // for a follower restarting after a crash.
    const std::string openAsked = Format("CChangelogReader::OpenAtReader(%s, %s, %s, %s, %s, follow)", host.c_str(),
                                         mdt.c_str(), fsName.c_str(), sshUser.c_str(), id.c_str());
    report.Ask(openAsked);
    LustreAPI::CChangelogReader reader;
    error = reader.OpenAtReader(host, mdt, fsName, sshUser, id, true);
    if (error.Failed()) return report.Fail(openAsked, ErrorText(error));
    report.Ok(openAsked,
              reader.InProcess() ? "in-process, through Lustre's changelog calls" : "through lfs changelog --follow");

    StandInWatcher watcher(fsName);
    std::string why;
    if (!watcher.Start(why)) return report.Fail("lustre-sim watch " + fsName, why);
    const std::string first = dir + "/live 1.txt", second = dir + "/live 2.txt";
    const Change changes[] = {
        {"write 'live 1.txt'", "CREAT", "live 1.txt", [&] { return static_cast<bool>(std::ofstream(first) << "x\n"); }},
        {"rename it to 'live 2.txt'", "RENME", "live 2.txt",
         [&] { return std::rename(first.c_str(), second.c_str()) == 0; }},
        {"remove it", "UNLNK", "live 2.txt", [&] { return std::remove(second.c_str()) == 0; }}};
    for (const Change& change : changes) {
        const std::string asked = std::string(change.what) + ", then Next until its " + change.recordType + " record";
        report.Ask(asked);
        if (!change.make()) return report.Fail(asked, ErrnoText(-errno));
        if (!watcher.Flush(why)) return report.Fail(asked, why);
        // Every record that comes is acted on and acknowledged, up to the one
        // that tells of this change.
        for (bool told = false; !told;) {
            LustreAPI::CChangelogRecord record;
            bool got = false;
            error = reader.Next(record, kRecordWait, got);
            if (error.Failed()) return report.Fail(asked, ErrorText(error));
            if (!got)
                return report.Fail(asked,
                                   Format("no record within %lld ms", static_cast<long long>(kRecordWait.count())));
            told = record.m_typeName == change.recordType && record.m_name == change.name;
            // A record about a file rather than a name (CLOSE, ...) carries no name.
            report.Detail(Format("  #%llu %s %s", record.m_index, record.m_typeName.c_str(),
                                 record.m_name.empty() ? "(of the file itself: no name)"
                                                       : Quoted(record.m_name).c_str()));
            error = LustreAPI::ClearChangelog(mdt, id, std::to_string(record.m_index));
            if (error.Failed()) return report.Fail(asked, "acknowledging: " + ErrorText(error));
        }
        report.Ok(asked, "read and acknowledged");
    }
    if (!watcher.Stop(why)) return report.Fail("lustre-sim unwatch " + fsName, why);
    reader.Close();

    unsigned long long current = 0;
    std::vector<LustreAPI::CChangelogUser> users;
    report.Ask("GetChangelogUsers: the reader's index");
    error = LustreAPI::GetChangelogUsers(host, mdt, fsName, sshUser, current, users);
    if (error.Failed()) return report.Fail("GetChangelogUsers", ErrorText(error));
    for (const auto& user : users)
        if (user.m_id == id) {
            report.Ok("GetChangelogUsers: the reader's index",
                      Format("%s at %llu of %llu", id.c_str(), user.m_index, current));
            return true;
        }
    return report.Fail("GetChangelogUsers", "the reader " + id + " is not listed");
}

}  // namespace demo
