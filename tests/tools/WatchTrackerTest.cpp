// The watcher's tracker fed the events of operations on a made-up tree, the
// mount point of uid 1000: the records Lustre writes for them
// (data/watch.txt), and the owners the records carry.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cstdio>
#include <sstream>

#include "ChangelogText.h"
#include "DataFiles.h"
#include "WatchTracker.h"

namespace {

// A tree of objects below a mount point (object 0) and the events its
// operations give to the directories being watched.
struct Ops : sim::TrackerWorld {
    struct Object {
        std::string label;  // its first path
        mode_t mode;
        uid_t uid = 7;
        long long size = 10, mtime = 0;
        bool archived = false;
        int wd = -1;
    };
    std::vector<Object> objects{{"/", S_IFDIR | 0755u, 1000}};
    std::map<std::string, size_t> names{{"", 0}};  // path -> object
    std::map<std::string, size_t> last;            // the object a path last named
    std::vector<sim::FileEvent> events;
    std::string log;
    uint32_t cookie = 0;
    int wds = 0;

    static std::string Parent(const std::string& path)
    {
        const size_t slash = path.rfind('/');
        return slash == std::string::npos ? "" : path.substr(0, slash);
    }
    // Objects first named r... are on MDT0001, the others on MDT0000.
    lu_fid Fid(size_t object) const
    {
        const unsigned long long seq = objects[object].label[0] == 'r' ? 0x240000400 : 0x200000400;
        return object ? lu_fid{seq, unsigned(object), 0} : lu_fid{0x200000007, 1, 0};
    }
    std::string Label(const lu_fid& f) const
    {
        if (f.f_seq == 0) return "0";
        return f.f_seq == 0x200000007 ? "/" : f.f_oid < objects.size() ? objects[f.f_oid].label : "?";
    }
    // The event of a name in its directory, when the directory is watched.
    void Event(const std::string& path, uint32_t mask, uint32_t pair = 0)
    {
        const int wd = objects[names.at(Parent(path))].wd;
        if (wd >= 0) events.push_back({wd, mask, pair, path.substr(path.rfind('/') + 1)});
    }
    void Make(const std::string& path, mode_t mode)
    {
        names[path] = last[path] = objects.size();
        objects.push_back({path, mode});
    }
    void Run(const std::string& op)
    {
        std::istringstream words(op);
        std::string verb, path, to;
        words >> verb >> path >> to;
        Object* o = names.count(path) ? &objects[names[path]] : nullptr;
        const uint32_t isDir = o && S_ISDIR(o->mode) ? IN_ISDIR : 0;
        const std::map<std::string, mode_t> made{
            {"create", S_IFREG | 0644}, {"mkdir", S_IFDIR | 0755}, {"symlink", S_IFLNK | 0777}, {"mknod", S_IFIFO}};
        if (made.count(verb)) {
            Make(path, made.at(verb));
            Event(path, IN_CREATE | (verb == "mkdir" ? IN_ISDIR : 0));
        } else if (verb == "write" || verb == "truncate") {
            o->size = verb == "write" ? o->size : 0;
            ++o->mtime;
            Event(path, IN_MODIFY);
            if (verb == "write") Event(path, IN_CLOSE_WRITE);
        } else if (verb == "chmod" || verb == "touch") {
            if (verb == "chmod") o->mode ^= 0100;
            o->mtime += verb == "touch";
            Event(path, IN_ATTRIB | isDir);
        } else if (verb == "link") {
            names[to] = last[to] = names.at(path);
            Event(to, IN_CREATE);
        } else if (verb == "rm" || verb == "rmdir") {
            names.erase(path);
            Event(path, IN_DELETE | isDir);
            if (o->wd >= 0) events.push_back({std::exchange(o->wd, -1), IN_IGNORED, 0, ""});
        } else if (verb == "mv") {                              // the path and everything below it
            if (names.count(to) && objects[names[to]].wd >= 0)  // a directory replaced
                events.push_back({std::exchange(objects[names[to]].wd, -1), IN_IGNORED, 0, ""});
            std::map<std::string, size_t> moved;
            for (auto it = names.begin(); it != names.end();) {
                const bool below = it->first == path || it->first.rfind(path + "/", 0) == 0;
                if (below) moved[to + it->first.substr(path.size())] = it->second;
                it = below ? names.erase(it) : std::next(it);
            }
            for (const auto& [name, object] : moved) names[name] = last[name] = object;
            Event(path, IN_MOVED_FROM | isDir, ++cookie);
            Event(to, IN_MOVED_TO | isDir, cookie);
        } else if (verb == "archive") {
            o->archived = true;
        } else if (verb == "overflow") {
            events.push_back({-1, IN_Q_OVERFLOW, 0, ""});
        } else {
            throw std::invalid_argument("no such operation: " + op);
        }
    }

    // Plays operations, the tracker looking after each group of them (joined
    // with " & "; groups end with "; "): the records and log lines it makes.
    std::string Play(const std::string& before, const std::string& ops, bool owners)
    {
        std::istringstream paths(before);
        for (std::string path; paths >> path && path != "-";)
            path.back() == '/' ? Make(path.substr(0, path.size() - 1), S_IFDIR | 0755) : Make(path, S_IFREG | 0644);
        sim::WatchTracker tracker(*this, "lustre", 2);
        if (!tracker.AddMount(0) || !tracker.TakeRecords().empty()) return "the mount cannot be taken in";
        std::string records;
        std::istringstream groups(ops + "; ");
        for (std::string group; std::getline(groups, group, ';') && group != " ";) {
            for (size_t at = group[0] == ' ', end; at < group.size(); at = end + 3) {
                end = std::min(group.find(" & ", at), group.size());
                Run(group.substr(at, end - at));
            }
            tracker.Handle(events);
            events.clear();
            for (const auto& [mdt, r] : tracker.TakeRecords()) {
                char flags[16];
                std::snprintf(flags, sizeof flags, " 0x%x", r.flags);
                const bool named = r.type <= 8;  // CREAT to RENME
                records += (records.empty() ? "" : "; ") + std::string(sim::ChangelogTypeName(r.type)) +
                           (named ? flags : "") + " t=" + Label(r.tfid);
                if (named) records += " p=" + Label(r.pfid) + " " + r.name;
                if (r.rename) records += " s=" + Label(r.sfid) + " sp=" + Label(r.spfid) + " " + r.sname;
                if (owners) records += " u=" + std::to_string(r.uid);
                if (mdt != "lustre-MDT0000") records += " @" + mdt.substr(7);
            }
        }
        return log + records;
    }

    bool FidAt(size_t, const std::string& rel, lu_fid& fid) override
    {
        const auto it = names.find(rel);
        if (it != names.end()) fid = Fid(it->second);
        return it != names.end();
    }
    bool Stat(size_t, const std::string& rel, sim::FileAttr& attr) override
    {
        const auto it = names.find(rel);
        if (it == names.end()) return false;
        const Object& o = objects[it->second];
        attr = {o.mode, o.uid, 100, o.mtime, o.size};
        return true;
    }
    lu_fid FidOfGone(const std::string& rel, bool) override { return Fid(last.at(rel)); }
    bool HsmExists(const lu_fid& fid) override { return fid.f_oid < objects.size() && objects[fid.f_oid].archived; }
    std::vector<std::string> List(size_t, const std::string& rel) override
    {
        std::vector<std::string> list;
        for (const auto& [path, object] : names)
            if (!path.empty() && Parent(path) == rel) list.push_back(path.substr(rel.empty() ? 0 : rel.size() + 1));
        return list;
    }
    int Watch(size_t, const std::string& rel) override { return objects[names.at(rel)].wd = ++wds; }
    void Unwatch(int wd) override
    {
        for (Object& o : objects)
            if (o.wd == wd) o.wd = -1;
    }
    bool MoreEvents(std::vector<sim::FileEvent>&) override { return false; }
    bool OwnEvent(const sim::FileEvent&) override { return false; }
    void Log(const std::string& text) override { log += text + "; "; }
};

TEST(WatchTracker, WritesTheRecordsLustreWritesForEachOperation)
{
    for (const testsupport::DataRow& row : testsupport::ReadRows(WATCH_DATA_DIR "/watch.txt"))
        EXPECT_EQ(Ops().Play(row.fields.at(0), row.fields.at(1), false), row.expected) << row.line;
}

// Records carry the owner the object had when the tracker last saw it (made
// by uid 7 here); of an object gone before the look, its directory's.
TEST(WatchTracker, RecordsCarryTheOwnerTheFileHad)
{
    EXPECT_EQ(Ops().Play("-", "create a & write a & mv a b & rm b", true),
              "CREAT 0x0 t=a p=/ a u=1000; CLOSE t=a u=1000; RENME 0x0 t=0 p=/ b s=a sp=/ a u=1000; "
              "UNLNK 0x1 t=a p=/ b u=1000");
    EXPECT_EQ(Ops().Play("-", "create a & write a & mv a b", true),
              "CREAT 0x0 t=a p=/ a u=7; CLOSE t=a u=7; RENME 0x0 t=0 p=/ b s=a sp=/ a u=7");
    EXPECT_EQ(Ops().Play("-", "overflow & create a", true),
              "events were lost (inotify queue overflow); CREAT 0x0 t=a p=/ a u=7");
}

}  // namespace
