// lustreapi-demo: a data-management host in miniature. It does the three
// jobs of LustreAPI against a mounted Lustre file system (or the stand-in):
//
//   1. HSM: binds liblustreapi, registers a copytool, queues an archive
//      request for a few files with HSMArchive and serves them, copying each
//      file into the archive directory with progress reports.
//   2. File identifiers: path -> FID -> text -> FID -> path for each file.
//   3. Changelogs: discovers the MDTs, registers a changelog user over ssh,
//      reads the current index and the reader's range, works on a file (the
//      stand-in's watcher logs it as an MDT does), dumps the range with
//      GetChangelogs, finds what it did in it and deregisters.
//   4. A changelog consumer (DemoConsumer.cpp): reads records as values,
//      acknowledges them and resumes from its reader's index.
//
// Usage: lustreapi-demo MOUNT ARCHIVE_DIR [SSH_USER]
//   MOUNT        the client mount point of the file system
//   ARCHIVE_DIR  where the copytool keeps archive 1 (created when missing)
//   SSH_USER     the login used on the metadata servers (default root)
//
// Every step prints what it asked and what came back. The exit status is 0
// only when every step succeeded.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "DemoConsumer.h"
#include "DemoCopytool.h"
#include "DemoFollower.h"
#include "DemoPolicy.h"
#include "DemoReport.h"
#include "DemoWatcher.h"
#include "LustreAPI.h"

namespace fs = std::filesystem;
using demo::ErrnoText;
using demo::ErrorText;
using demo::Format;
using demo::Quoted;

namespace {

using demo::kCommandLimit;
constexpr int kArchiveId = 1;

struct DemoFile {
    std::string path;
    std::string bytes;
};

// A few files of different sizes, made under MOUNT/lustreapi-demo.
bool MakeFiles(demo::Report& report, const std::string& mount, std::vector<DemoFile>& files)
{
    const std::string dir = mount + "/lustreapi-demo";
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return report.Fail("create " + dir, ec.message());
    std::mt19937 rng(20240611);
    const struct {
        const char* name;
        size_t size;
    } wanted[] = {{"notes.txt", 3000}, {"results.dat", 200 * 1024}, {"images/scan-0001.raw", 450 * 1024}};
    for (const auto& w : wanted) {
        DemoFile file{dir + "/" + w.name, std::string()};
        fs::create_directories(fs::path(file.path).parent_path(), ec);
        file.bytes.resize(w.size);
        for (char& c : file.bytes) c = static_cast<char>('a' + rng() % 26);
        std::ofstream out(file.path, std::ios::binary | std::ios::trunc);
        out.write(file.bytes.data(), static_cast<std::streamsize>(file.bytes.size()));
        out.close();
        if (!out) return report.Fail("write " + file.path, "cannot write the file");
        files.push_back(std::move(file));
    }
    std::string list;
    for (const DemoFile& f : files)
        list +=
            Format("%s%s (%zu bytes)", list.empty() ? "" : ", ", fs::path(f.path).filename().c_str(), f.bytes.size());
    report.Ok("create the demo files under " + dir, list);
    return true;
}

bool ReadWhole(const std::string& path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    bytes = all.str();
    return static_cast<bool>(in);
}

// ---- Job 1: HSM ------------------------------------------------------------

bool RunHsm(demo::Report& report, const std::string& mount, const std::string& archiveDir,
            const std::vector<DemoFile>& files, std::string& fsName)
{
    report.Job("HSM: a copytool archives the files that HSMArchive queued");

    char name[LUSTRE_MAXFSNAME + 1 + 7] = {};
    std::string msg;
    const std::string searchAsked = "SearchFsName(" + Quoted(mount) + ")";
    report.Ask(searchAsked);
    int rc = LustreAPI::SearchFsName(mount.c_str(), name, msg);
    if (rc < 0) return report.Fail(searchAsked, ErrnoText(rc) + (msg.empty() ? "" : ": " + msg));
    fsName = name;
    report.Ok(searchAsked, "file system " + Quoted(fsName));

    std::error_code ec;
    fs::create_directories(archiveDir, ec);
    demo::Copytool copytool(report, archiveDir);
    if (!copytool.Register(mount, kArchiveId)) return false;

    for (const DemoFile& file : files) {
        const std::string asked = "HSMArchive(" + Quoted(file.path) + ", \"lustreapi-demo\")";
        report.Ask(asked);
        rc = LustreAPI::HSMArchive(file.path.c_str(), "lustreapi-demo", msg);
        if (rc < 0) return report.Fail(asked, ErrnoText(rc) + (msg.empty() ? "" : ": " + msg));
        report.Ok(asked, "archive request queued");
    }

    std::vector<demo::ArchivedFile> archived;
    if (!copytool.Serve(files.size(), std::chrono::seconds(120), archived)) return false;
    if (!copytool.Unregister()) return false;

    // Each archive copy holds exactly the bytes of one of the files.
    for (const demo::ArchivedFile& copy : archived) {
        std::string bytes;
        if (!ReadWhole(copy.copy, bytes)) return report.Fail("read " + copy.copy, "cannot read the copy");
        bool matched = false;
        for (const DemoFile& file : files) matched = matched || file.bytes == bytes;
        if (!matched) return report.Fail("compare " + copy.copy, "matches none of the demo files");
    }
    report.Ok("compare the archive copies with the files", Format("%zu copies, byte for byte equal", archived.size()));
    return true;
}

// ---- Job 2: file identifiers ----------------------------------------------------

bool RunFids(demo::Report& report, const std::string& mount, const std::vector<DemoFile>& files,
             std::vector<std::string>& fidTexts)
{
    report.Job("File identifiers: path -> FID -> text -> FID -> path");
    for (const DemoFile& file : files) {
        LustreAPI::CLustreFID fid;
        const std::string fidAsked = "GetFIDFromPath(" + Quoted(file.path) + ")";
        report.Ask(fidAsked);
        CKxError error = LustreAPI::GetFIDFromPath(file.path, fid);
        if (error.Failed()) return report.Fail(fidAsked, ErrorText(error));
        const std::string text = Format(DFID, fid.m_seq, fid.m_oid, fid.m_ver);
        report.Ok(fidAsked, "FID " + text);
        fidTexts.push_back(text);

        report.Ask("CLustreFID(" + Quoted(text) + ")");
        LustreAPI::CLustreFID parsed(text);
        if (parsed.m_seq != fid.m_seq || parsed.m_oid != fid.m_oid || parsed.m_ver != fid.m_ver)
            return report.Fail("CLustreFID(" + Quoted(text) + ")", "parsed to a different FID");
        report.Ok("CLustreFID(" + Quoted(text) + ")", "the same FID back from its text");

        std::string path;
        int linkNo = 0;
        long long recNo = -1;
        const std::string asked = "GetPathFromFID(" + Quoted(mount) + ", " + text + ")";
        report.Ask(asked);
        error = LustreAPI::GetPathFromFID(mount, parsed, path, linkNo, recNo);
        if (error.Failed()) return report.Fail(asked, ErrorText(error));
        if (fs::path(path).lexically_normal() != fs::path(file.path).lexically_normal())
            return report.Fail(asked, Quoted(path) + ", not the file's path");
        // Lustre hands back the link and record numbers it used: link 0 is the
        // file's first hard link, record -1 asks for its name now rather than
        // at a changelog record.
        report.Ok(asked, Quoted(path) + Format(" (link number %d: the file's first name; record number %lld: its "
                                               "name now, not as of a changelog record)",
                                               linkNo, recNo));
    }
    return true;
}

// ---- Job 3: changelogs -------------------------------------------------------------

// What the demo does to a file while the reader is registered, and the
// records the MDT must have logged for it.
struct Activity {
    std::string fid;     // the probe file's FID, from GetFIDFromPath
    std::string dirFid;  // its directory's
    struct Record {
        std::string type;  // "01CREAT"
        std::string head;  // flags and target, after the time: "0x0 t=[...]"
        std::string tail;  // the end of the line, after the user and NID
    };
    std::vector<Record> expected;
};

// Creates, writes, renames and removes a probe file in the demo directory
// (whose files the stand-in keeps on MDT0000), with the stand-in's watcher
// running, so that the MDT logs what really happened to it.
bool MakeActivity(demo::Report& report, const std::string& fsName, const std::string& dir, Activity& activity)
{
    const std::string probe = dir + "/changelog-probe.txt";
    const std::string renamed = dir + "/changelog-probe.old";
    const std::string asked = "create, write, rename and remove " + Quoted(probe) + " with lustre-sim watch " + fsName;
    report.Ask(asked);
    demo::StandInWatcher watcher(fsName);
    std::string why;
    if (!watcher.Start(why)) return report.Fail(asked, why);
    std::ofstream(probe) << "probe\n";
    LustreAPI::CLustreFID fid;
    LustreAPI::CLustreFID dirFid;
    CKxError error = LustreAPI::GetFIDFromPath(probe, fid);
    if (!error.Failed()) error = LustreAPI::GetFIDFromPath(dir, dirFid);
    if (error.Failed()) return report.Fail(asked, ErrorText(error));
    activity.fid = fid.Text();
    activity.dirFid = dirFid.Text();
    if (std::rename(probe.c_str(), renamed.c_str()) != 0 || std::remove(renamed.c_str()) != 0)
        return report.Fail(asked, ErrnoText(-errno));
    if (!watcher.Stop(why)) return report.Fail(asked, why);
    const std::string& t = activity.fid;
    const std::string& p = activity.dirFid;
    activity.expected = {{"01CREAT", "0x0 t=" + t, " p=" + p + " changelog-probe.txt"},
                         {"11CLOSE", "0x2 t=" + t, ""},
                         {"08RENME", "0x0 t=[0:0x0:0x0]",
                          " p=" + p + " changelog-probe.old s=" + t + " sp=" + p + " changelog-probe.txt"},
                         {"06UNLNK", "0x1 t=" + t, " p=" + p + " changelog-probe.old"}};
    report.Ok(asked, "probe file " + t + " in " + p + ", watcher stopped");
    return true;
}

// True when the dump holds the expected records in order ("INDEX TYPE TIME
// DATE FLAGS t=FID ... TAIL" each); otherwise the first one missing.
bool DumpShowsActivity(const std::string& text, const Activity& activity, std::string& missing)
{
    std::istringstream lines(text);
    std::string line;
    size_t next = 0;
    while (next < activity.expected.size() && std::getline(lines, line)) {
        const Activity::Record& want = activity.expected[next];
        std::istringstream fields(line);
        std::string index, type, time, date, rest;
        if (!(fields >> index >> type >> time >> date) || !std::getline(fields, rest)) continue;
        if (type == want.type && rest.compare(0, want.head.size() + 1, " " + want.head) == 0 &&
            rest.size() >= want.tail.size() &&
            rest.compare(rest.size() - want.tail.size(), want.tail.size(), want.tail) == 0)
            ++next;
    }
    if (next == activity.expected.size()) return true;
    const Activity::Record& want = activity.expected[next];
    missing = want.type + " " + want.head + " ..." + want.tail;
    return false;
}

// Deregisters the changelog user when a step between registration and the
// end fails: an unread reader would keep the MDT's changelog growing.
class ChangelogUser {
public:
    ChangelogUser(std::string host, std::string mdt, std::string fsName, std::string user)
        : m_host(std::move(host)), m_mdt(std::move(mdt)), m_fs(std::move(fsName)), m_user(std::move(user))
    {
    }
    ~ChangelogUser()
    {
        if (!m_id.empty()) LustreAPI::DeRegisterChangelog(m_host, m_mdt, m_fs, m_user, m_id, kCommandLimit);
    }
    ChangelogUser(const ChangelogUser&) = delete;
    ChangelogUser& operator=(const ChangelogUser&) = delete;

    std::string& Id() { return m_id; }
    void Forget() { m_id.clear(); }

private:
    std::string m_host, m_mdt, m_fs, m_user, m_id;
};

bool RunChangelog(demo::Report& report, const std::string& fsName, const std::string& sshUser,
                  const std::vector<DemoFile>& files)
{
    report.Job("Changelogs: register a reader, read its range, dump it, deregister");

    std::vector<std::string> mdts;
    std::vector<std::string> servers;
    const std::string listAsked = "GetMDTList(" + Quoted(fsName) + ")";
    report.Ask(listAsked);
    CKxError error = LustreAPI::GetMDTList(fsName, mdts, servers, kCommandLimit);
    if (error.Failed()) return report.Fail(listAsked, ErrorText(error));
    if (mdts.empty() || mdts.size() != servers.size()) return report.Fail(listAsked, "no MDT listed");
    std::string listing;
    for (size_t i = 0; i < mdts.size(); ++i)
        listing += Format("%s%s on %s", i ? ", " : "", mdts[i].c_str(), servers[i].c_str());
    report.Ok(listAsked, listing);

    const std::string& mdt = mdts.front();
    const std::string& server = servers.front();
    const std::string target = Format("(%s, %s, %s, %s", server.c_str(), mdt.c_str(), fsName.c_str(), sshUser.c_str());

    ChangelogUser reader(server, mdt, fsName, sshUser);
    report.Ask("RegisterChangelog" + target + ")");
    error = LustreAPI::RegisterChangelog(server, mdt, fsName, sshUser, reader.Id(), kCommandLimit);
    if (error.Failed()) {
        reader.Forget();
        return report.Fail("RegisterChangelog" + target + ")", ErrorText(error));
    }
    const std::string id = reader.Id();
    report.Ok("RegisterChangelog" + target + ")", "changelog user " + Quoted(id));

    std::string current;
    report.Ask("GetChangelogCurrentIndex" + target + ")");
    error = LustreAPI::GetChangelogCurrentIndex(server, mdt, fsName, sshUser, current, kCommandLimit);
    if (error.Failed()) return report.Fail("GetChangelogCurrentIndex" + target + ")", ErrorText(error));
    report.Ok("GetChangelogCurrentIndex" + target + ")", "current index " + current);

    std::string start;
    std::string end;
    const std::string rangeAsked = "GetStartAndEndChangelogRecordNumbers" + target + ", " + Quoted(id) + ")";
    report.Ask(rangeAsked);
    error = LustreAPI::GetStartAndEndChangelogRecordNumbers(server, mdt, fsName, sshUser, id, start, end, kCommandLimit);
    if (error.Failed()) return report.Fail(rangeAsked, ErrorText(error));
    report.Ok(rangeAsked, "reader at " + start + ", current index " + end);
    report.Detail("(the end is logged first: lctl's listing shows the current index before the readers)");

    Activity activity;
    if (!MakeActivity(report, fsName, fs::path(files.front().path).parent_path().string(), activity)) return false;

    std::string after;
    report.Ask(rangeAsked);
    error = LustreAPI::GetStartAndEndChangelogRecordNumbers(server, mdt, fsName, sshUser, id, start, after, kCommandLimit);
    if (error.Failed()) return report.Fail(rangeAsked, ErrorText(error));
    report.Ok(rangeAsked, "reader at " + start + ", current index " + after);

    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/lustreapi-demo-XXXXXX";
    if (!mkdtemp(dir.data())) return report.Fail("mkdtemp", ErrnoText(-errno));
    const std::string dump = dir + "/changelog.txt";
    const std::string dumpAsked =
        Format("GetChangelogs(%s, \"\", %s, %s, %s)", mdt.c_str(), start.c_str(), after.c_str(), dump.c_str());
    report.Ask(dumpAsked);
    error = LustreAPI::GetChangelogs(mdt, "", start, after, dump, kCommandLimit);
    std::string text;
    const bool read = ReadWhole(dump, text);
    fs::remove_all(dir);
    if (error.Failed()) return report.Fail(dumpAsked, ErrorText(error));
    if (!read) return report.Fail(dumpAsked, "the dump file cannot be read");
    std::istringstream lines(text);
    std::string line;
    size_t records = 0;
    std::vector<std::string> shown;
    while (std::getline(lines, line))
        if (!line.empty()) {
            ++records;
            shown.push_back(line);
        }
    // What the demo did to the probe file is in the range, as it happened.
    std::string missing;
    if (!DumpShowsActivity(text, activity, missing)) return report.Fail(dumpAsked, "no record " + missing);
    report.Ok(dumpAsked,
              Format("%zu records (t= the file's FID, p= its directory's, none for a CLOSE, which names only the "
                     "file; of a rename, s= and sp= the file and the directory it left; u= who did it, uid:gid; on the "
                     "stand-in, the file's owner):",
                     records));
    for (const std::string& record : shown) report.Detail("  " + record);

    const std::string deregAsked = "DeRegisterChangelog" + target + ", " + Quoted(id) + ")";
    report.Ask(deregAsked);
    error = LustreAPI::DeRegisterChangelog(server, mdt, fsName, sshUser, reader.Id(), kCommandLimit);
    if (error.Failed()) return report.Fail(deregAsked, ErrorText(error));
    reader.Forget();
    report.Ok(deregAsked, "changelog user removed");
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4 || argv[1][0] != '/') {
        std::fprintf(stderr, "usage: %s MOUNT ARCHIVE_DIR [SSH_USER]\n  MOUNT must be an absolute path\n",
                     argc > 0 ? argv[0] : "lustreapi-demo");
        return 2;
    }
    std::string mount = argv[1];
    while (mount.size() > 1 && mount.back() == '/') mount.pop_back();
    const std::string archiveDir = argv[2];
    const std::string sshUser = argc == 4 ? argv[3] : "root";

    // The library logs through the host's writer; ours indents its lines into
    // the account.
    demo::IndentingLogWriter writer;
    LogWriter* const previous = g_ptrLogWriter;
    g_ptrLogWriter = &writer;

    demo::Report report;
    std::printf("LustreAPI demo host: file system at %s, archive %d in %s, ssh user %s\n", mount.c_str(), kArchiveId,
                archiveDir.c_str(), sshUser.c_str());
    report.Job("Binding the Lustre library");
    report.Ask("LoadFunctions()");
    const CKxError bound = LustreAPI::LoadFunctions();
    if (bound.Failed()) {
        report.Fail("LoadFunctions()", ErrorText(bound));
    } else {
        report.Ok("LoadFunctions()", "liblustreapi bound: " + demo::DescribeBinding());
        std::vector<DemoFile> files;
        std::string fsName;
        if (MakeFiles(report, mount, files) && RunHsm(report, mount, archiveDir, files, fsName)) {
            std::vector<std::string> fidTexts;
            RunFids(report, mount, files, fidTexts);
            RunChangelog(report, fsName, sshUser, files);
            const std::string dir = fs::path(files.front().path).parent_path().string();
            if (report.Failures() == 0) demo::RunConsumer(report, fsName, sshUser, dir);
            if (report.Failures() == 0) demo::RunFollower(report, fsName, sshUser, dir);
            demo::RunPolicyEngine(report, mount, archiveDir);
        }
    }

    g_ptrLogWriter = previous;
    if (report.Failures()) {
        std::printf("\nlustreapi-demo: %d step(s) FAILED\n", report.Failures());
        return 1;
    }
    std::printf("\nlustreapi-demo: every step succeeded\n");
    return 0;
}
