// Job 4 of the demo host: what a host that keeps a changelog reader does in a
// loop. It resumes from its reader's index on the server (so a restart loses
// nothing and repeats nothing), reads the records after it as values, acts on
// them and acknowledges them, so that the server can drop them.
#include "DemoConsumer.h"

#include <cerrno>
#include <ctime>
#include <fstream>
#include <vector>

#include "DemoWatcher.h"
#include "LustreAPI.h"

namespace demo {
namespace {

struct Target {
    std::string host, mdt, fsName, user;
    std::string Text() const
    {
        return Format("(%s, %s, %s, %s", host.c_str(), mdt.c_str(), fsName.c_str(), user.c_str());
    }
};

// Deregisters the reader on every way out: a reader nobody reads keeps the
// MDT's changelog growing.
class Reader {
public:
    explicit Reader(const Target& target) : m_target(target) {}
    ~Reader()
    {
        if (!id.empty())
            LustreAPI::DeRegisterChangelog(m_target.host, m_target.mdt, m_target.fsName, m_target.user, id, kCommandLimit);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    std::string id;

private:
    const Target& m_target;
};

// "2026-12-07T08:42:30.865064087Z": the record's time in UTC.
std::string IsoTime(long long seconds, unsigned nanoseconds)
{
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc {};
    char text[32] = "?";
    if (gmtime_r(&t, &utc)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return Format("%s.%09uZ", text, nanoseconds);
}

std::string Describe(const LustreAPI::CChangelogRecord& r)
{
    std::string text = Format("record %llu: %s", r.m_index, r.m_typeName.c_str());
    if (!r.m_name.empty()) text += " " + Quoted(r.m_name);
    if (!r.m_sourceName.empty()) text += " (was " + Quoted(r.m_sourceName) + ")";
    const LustreAPI::CLustreFID& p = r.m_parent;
    if (p.m_seq || p.m_oid || p.m_ver)
        text += " in directory " + p.Text();
    else
        text += " of file " + r.m_target.Text() + " (no directory: this record names only the file)";
    text += ", at " + IsoTime(r.m_seconds, r.m_nanoseconds);
    if (r.m_uid >= 0) text += Format(", by uid %lld", r.m_uid);
    return text;
}

// The reader's index on the server; listed is false when the reader is gone.
bool ReaderIndex(Report& report, const Target& t, const std::string& id, unsigned long long& index, bool& listed)
{
    const std::string asked = "GetChangelogUsers" + t.Text() + ")";
    report.Ask(asked);
    unsigned long long current = 0;
    std::vector<LustreAPI::CChangelogUser> users;
    const CKxError error = LustreAPI::GetChangelogUsers(t.host, t.mdt, t.fsName, t.user, current, users, kCommandLimit);
    if (error.Failed()) return report.Fail(asked, ErrorText(error));
    std::string got = Format("current index %llu;", current);
    listed = false;
    for (const auto& u : users) {
        got += Format(" %s at %llu", u.m_id.c_str(), u.m_index);
        if (u.m_idleSeconds >= 0) got += Format(" (idle %llds)", u.m_idleSeconds);
        if (u.m_id == id) {
            listed = true;
            index = u.m_index;
        }
    }
    report.Ok(asked, got);
    return true;
}

bool SameFid(const LustreAPI::CLustreFID& a, const LustreAPI::CLustreFID& b)
{
    return a.m_seq == b.m_seq && a.m_oid == b.m_oid && a.m_ver == b.m_ver;
}

// What a user of the cluster does to files in dir, which the MDT logs (on
// the stand-in, its watcher does): writes "draft 1.txt" and renames it to
// final.txt, writes old.log and removes it. draft is the first file's FID.
bool WorkOnFiles(Report& report, const std::string& fsName, const std::string& dir, LustreAPI::CLustreFID& draft)
{
    const std::string asked = "in " + Quoted(dir) +
                              ": write 'draft 1.txt', rename it to final.txt, "
                              "write and remove old.log (with lustre-sim watch " +
                              fsName + ")";
    report.Ask(asked);
    StandInWatcher watcher(fsName);
    std::string why;
    if (!watcher.Start(why)) return report.Fail(asked, why);
    const std::string first = dir + "/draft 1.txt", final = dir + "/final.txt", old = dir + "/old.log";
    std::ofstream(first) << "draft\n";
    const CKxError error = LustreAPI::GetFIDFromPath(first, draft);
    if (error.Failed()) return report.Fail(asked, ErrorText(error));
    std::ofstream(old) << "log\n";
    if (std::rename(first.c_str(), final.c_str()) != 0 || std::remove(old.c_str()) != 0)
        return report.Fail(asked, ErrnoText(-errno));
    if (!watcher.Stop(why)) return report.Fail(asked, why);
    report.Ok(asked, "'draft 1.txt' was " + draft.Text());
    return true;
}

// The records tell what WorkOnFiles did, with the file's FID.
bool ToldWhatWasDone(const std::vector<LustreAPI::CChangelogRecord>& records, const LustreAPI::CLustreFID& draft,
                     std::string& missing)
{
    bool created = false, renamed = false, removed = false;
    for (const auto& r : records) {
        created = created || (r.m_typeName == "CREAT" && r.m_name == "draft 1.txt" && SameFid(r.m_target, draft));
        renamed = renamed || (r.m_typeName == "RENME" && r.m_name == "final.txt" && r.m_sourceName == "draft 1.txt" &&
                              SameFid(r.m_source, draft));
        removed = removed || (r.m_typeName == "UNLNK" && r.m_name == "old.log" && (r.m_flags & 1));
    }
    missing = !created ? "the create" : !renamed ? "the rename" : !removed ? "the last unlink" : "";
    return missing.empty();
}

bool Read(Report& report, const std::string& mdt, const std::string& start,
          std::vector<LustreAPI::CChangelogRecord>& records)
{
    const std::string asked = Format("ReadChangelogs(%s, %s, \"\")", mdt.c_str(), start.c_str());
    report.Ask(asked);
    const CKxError error = LustreAPI::ReadChangelogs(mdt, start, "", records, kCommandLimit);
    if (error.Failed()) return report.Fail(asked, ErrorText(error));
    report.Ok(asked, Format("%zu records", records.size()));
    for (const auto& record : records) report.Detail("  " + Describe(record));
    return true;
}

}  // namespace

bool RunConsumer(Report& report, const std::string& fsName, const std::string& sshUser, const std::string& dir)
{
    report.Job("Changelog consumer: register, read records as values, acknowledge them, deregister");
    std::vector<std::string> mdts, servers;
    CKxError error = LustreAPI::GetMDTList(fsName, mdts, servers, kCommandLimit);
    if (error.Failed() || mdts.empty()) return report.Fail("GetMDTList(" + Quoted(fsName) + ")", ErrorText(error));
    const Target t{servers.front(), mdts.front(), fsName, sshUser};

    Reader reader(t);
    const std::string registerAsked = "RegisterChangelog" + t.Text() + ")";
    report.Ask(registerAsked);
    std::string id;
    error = LustreAPI::RegisterChangelog(t.host, t.mdt, t.fsName, t.user, id, kCommandLimit);
    if (error.Failed()) return report.Fail(registerAsked, ErrorText(error));
    reader.id = id;
    report.Ok(registerAsked, "changelog reader " + Quoted(id));

    LustreAPI::CLustreFID draft;
    if (!WorkOnFiles(report, fsName, dir, draft)) return false;

    // The loop: from the reader's index on the server, read, act, acknowledge.
    unsigned long long index = 0;
    bool listed = false;
    if (!ReaderIndex(report, t, id, index, listed)) return false;
    if (!listed) return report.Fail("GetChangelogUsers", "the reader " + id + " is not listed");
    std::vector<LustreAPI::CChangelogRecord> records;
    if (!Read(report, t.mdt, std::to_string(index + 1), records)) return false;
    if (records.empty()) return report.Fail("ReadChangelogs", "no record to act on");
    std::string missing;
    if (!ToldWhatWasDone(records, draft, missing)) return report.Fail("ReadChangelogs", "no record of " + missing);
    const std::string last = std::to_string(records.back().m_index);
    const std::string clearAsked = Format("ClearChangelog(%s, %s, %s)", t.mdt.c_str(), id.c_str(), last.c_str());
    report.Ask(clearAsked);
    error = LustreAPI::ClearChangelog(t.mdt, id, last, kCommandLimit);
    if (error.Failed()) return report.Fail(clearAsked, ErrorText(error));
    report.Ok(clearAsked, "records up to " + last + " acknowledged");

    // After a restart the host knows only its reader: the index has moved,
    // and no reader needs the acknowledged records any more.
    if (!ReaderIndex(report, t, id, index, listed)) return false;
    if (index != records.back().m_index) return report.Fail("GetChangelogUsers", "the reader's index did not move");
    std::vector<LustreAPI::CChangelogRecord> left;
    if (!Read(report, t.mdt, std::to_string(records.front().m_index), left)) return false;
    if (!left.empty()) return report.Fail("ReadChangelogs", "acknowledged records are still there");

    const std::string deregAsked = "DeRegisterChangelog" + t.Text() + ", " + Quoted(id) + ")";
    report.Ask(deregAsked);
    error = LustreAPI::DeRegisterChangelog(t.host, t.mdt, t.fsName, t.user, reader.id, kCommandLimit);
    if (error.Failed()) return report.Fail(deregAsked, ErrorText(error));
    reader.id.clear();
    report.Ok(deregAsked, "changelog reader removed");
    return true;
}

}  // namespace demo
