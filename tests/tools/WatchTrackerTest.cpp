// The watcher's tracker fed made-up events: of operations on a made-up tree
// against the records Lustre writes for them (data/watch.txt), and of one
// made-up directory, the mount point of uid 1000, that it looks at only
// after they all happened.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cstdio>
#include <sstream>

#include "ChangelogText.h"
#include "DataFiles.h"
#include "WatchTracker.h"

namespace {

struct Tree : sim::TrackerWorld {
    std::map<std::string, uid_t> files;  // what is there at the look: name -> owner (FID oid 1)
    std::vector<sim::FileEvent> queued;
    std::string log;

    bool FidAt(size_t, const std::string& rel, lu_fid& fid) override
    {
        fid = {0x200000400, 1, 0};
        return rel.empty() || files.count(rel);
    }
    bool Stat(size_t, const std::string& rel, sim::FileAttr& attr) override
    {
        if (!rel.empty() && !files.count(rel)) return false;
        attr = {rel.empty() ? S_IFDIR | 0755u : S_IFREG | 0644u, rel.empty() ? 1000 : files[rel], 100, 0, 0};
        return true;
    }
    lu_fid FidOfGone(const std::string&, bool) override { return {0x200000401, 1, 0}; }
    bool HsmExists(const lu_fid&) override { return false; }
    std::vector<std::string> List(size_t, const std::string&) override { return {}; }
    int Watch(size_t, const std::string&) override { return 1; }
    void Unwatch(int) override {}
    bool MoreEvents(std::vector<sim::FileEvent>& events) override
    {
        events.insert(events.end(), queued.begin(), queued.end());
        return !std::exchange(queued, {}).empty();
    }
    bool OwnEvent(const sim::FileEvent&) override { return false; }
    void Log(const std::string& text) override { log += text + "|"; }
};

// A tree of objects below a mount point and the events its operations give
// to the directories being watched.
struct Ops : sim::TrackerWorld {
    struct Object {
        std::string label;  // its first path
        mode_t mode;
        long long size = 10, mtime = 0;
        bool archived = false;
        int wd = -1;
    };
    std::vector<Object> objects{{"/", S_IFDIR | 0755u}};
    std::map<std::string, size_t> names{{"", 0}};  // path -> object
    std::map<std::string, size_t> last;            // the object a path last named
    std::vector<sim::FileEvent> events;
    uint32_t cookie = 0;
    int wds = 0;

    static std::string Parent(const std::string& path)
    {
        const size_t slash = path.rfind('/');
        return slash == std::string::npos ? "" : path.substr(0, slash);
    }
    static lu_fid Fid(size_t object)
    {
        return object ? lu_fid{0x200000400, unsigned(object), 0} : lu_fid{0x200000007, 1, 0};
    }
    std::string Label(const sim::Fid& f) const
    {
        if (f.seq == 0) return "0";
        return f.seq == 0x200000007 ? "/" : f.oid < objects.size() ? objects[f.oid].label : "?";
    }
    // The event of a name in its directory, when the directory is watched.
    void Event(const std::string& path, uint32_t mask, uint32_t cookie = 0)
    {
        const int wd = objects[names.at(Parent(path))].wd;
        const size_t slash = path.rfind('/');
        if (wd >= 0) events.push_back({wd, mask, cookie, path.substr(slash == std::string::npos ? 0 : slash + 1)});
    }
    void Make(const std::string& path, mode_t mode)
    {
        names[path] = last[path] = objects.size();
        objects.push_back({path, mode});
    }
    // Renames path and everything below it.
    void Move(const std::string& from, const std::string& to)
    {
        std::map<std::string, size_t> moved;
        for (auto it = names.begin(); it != names.end();) {
            if (it->first == from || it->first.rfind(from + "/", 0) == 0) {
                moved[to + it->first.substr(from.size())] = it->second;
                it = names.erase(it);
            } else {
                ++it;
            }
        }
        for (const auto& [path, object] : moved) names[path] = last[path] = object;
    }
    void Run(const std::string& op)
    {
        std::istringstream words(op);
        std::string verb, path, to;
        words >> verb >> path >> to;
        Object* o = names.count(path) ? &objects[names[path]] : nullptr;
        const uint32_t isDir = o && S_ISDIR(o->mode) ? IN_ISDIR : 0;
        if (verb == "create" || verb == "mkdir" || verb == "symlink" || verb == "mknod") {
            Make(path, verb == "create"    ? S_IFREG | 0644u
                       : verb == "mkdir"   ? S_IFDIR | 0755u
                       : verb == "symlink" ? S_IFLNK | 0777u
                                           : S_IFIFO | 0644u);
            Event(path, IN_CREATE | (verb == "mkdir" ? IN_ISDIR : 0));
        } else if (verb == "write") {
            o->size += 10, ++o->mtime;
            Event(path, IN_MODIFY), Event(path, IN_CLOSE_WRITE);
        } else if (verb == "truncate") {
            o->size = 0, ++o->mtime;
            Event(path, IN_MODIFY);
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
        } else if (verb == "mv") {
            Move(path, to);
            Event(path, IN_MOVED_FROM | isDir, ++cookie);
            Event(to, IN_MOVED_TO | isDir, cookie);
        } else if (verb == "archive") {
            o->archived = true;
        } else {
            throw std::invalid_argument("no such operation: " + op);
        }
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
        attr = {o.mode, 500, 500, o.mtime, o.size};
        return true;
    }
    lu_fid FidOfGone(const std::string& rel, bool) override
    {
        return last.count(rel) ? Fid(last[rel]) : lu_fid{0x200000401, 1, 0};
    }
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
    void Log(const std::string& text) override { throw std::logic_error(text); }
};

TEST(WatchTracker, WritesTheRecordsLustreWritesForEachOperation)
{
    for (const testsupport::DataRow& row : testsupport::ReadRows(WATCH_DATA_DIR "/watch.txt")) {
        SCOPED_TRACE(row.line);
        Ops ops;
        std::istringstream before(row.fields.at(0));
        for (std::string path; before >> path && path != "-";)
            path.back() == '/' ? ops.Make(path.substr(0, path.size() - 1), S_IFDIR | 0755u)
                               : ops.Make(path, S_IFREG | 0644u);
        sim::WatchTracker tracker(ops, "lustre", 1);
        ASSERT_TRUE(tracker.AddMount(0));
        ASSERT_TRUE(tracker.TakeRecords().empty());
        std::string records;
        std::istringstream groups(row.fields.at(1) + "; ");
        for (std::string group; std::getline(groups, group, ';') && group != " ";) {
            for (size_t at = 0, end; at < group.size(); at = end + 3) {
                end = std::min(group.find(" & ", at), group.size());
                ops.Run(group.substr(at, end - at));
            }
            tracker.Handle(ops.events);
            ops.events.clear();
            for (const auto& [mdt, r] : tracker.TakeRecords()) {
                records += (records.empty() ? "" : "; ") + std::string(sim::ChangelogTypeName(r.type));
                const bool names = r.type <= 8;
                char flags[16];
                std::snprintf(flags, sizeof flags, " 0x%x", r.flags);
                if (names) records += flags;
                records += " t=" + ops.Label(r.tfid);
                if (names) records += " p=" + ops.Label(r.pfid) + " " + r.name;
                if (r.rename) records += " s=" + ops.Label(r.sfid) + " sp=" + ops.Label(r.spfid) + " " + r.sname;
            }
        }
        EXPECT_EQ(records, row.expected);
    }
}

TEST(WatchTracker, RecordsCarryTheOwnerTheFileHad)
{
    const std::vector<sim::FileEvent> written = {{1, IN_CREATE, 0, "a"},      {1, IN_MODIFY, 0, "a"},
                                                 {1, IN_CLOSE_WRITE, 0, "a"}, {1, IN_MOVED_FROM, 7, "a"},
                                                 {1, IN_MOVED_TO, 7, "b"},    {1, IN_DELETE, 0, "b"}};
    const struct {
        std::map<std::string, uid_t> files;
        std::vector<sim::FileEvent> events;
        const char* expected;
    } rows[] = {
        // Gone before the look: its directory's owner, not uid 0.
        {{}, written, "CREAT gone a u=1000|CLOSE gone  u=1000|RENME #0 b a u=1000|UNLNK gone b u=1000"},
        // Found under its new name, with its own owner.
        {{{"b", 7}}, {written.begin(), written.end() - 1}, "CREAT #1 a u=7|CLOSE #1  u=7|RENME #0 b a u=7"},
        {{{"a", 7}},
         {{-1, IN_Q_OVERFLOW, 0, ""}, {1, IN_CREATE, 0, "a"}},
         "events were lost (inotify queue overflow)|CREAT #1 a u=7"},
    };
    for (const auto& row : rows) {
        Tree tree;
        sim::WatchTracker tracker(tree, "lustre", 1);
        ASSERT_TRUE(tracker.AddMount(0));
        tree.files = row.files;
        std::vector<sim::FileEvent> events = row.events;
        tracker.Handle(events);
        std::string records = tree.log;
        for (const auto& [mdt, r] : tracker.TakeRecords())
            records += (records.size() > tree.log.size() ? "|" : "") + std::string(sim::ChangelogTypeName(r.type)) +
                       (r.tfid.seq == 0x200000401 ? " gone " : " #" + std::to_string(r.tfid.oid) + " ") + r.name +
                       (r.rename ? " " + r.sname : "") + " u=" + std::to_string(r.uid);
        EXPECT_EQ(records, row.expected) << row.expected;
    }
}

}  // namespace
