// The watcher's tracker fed made-up events of a made-up tree: what the
// records say when the watcher keeps up (a "." after each step) and when it
// looks only after everything happened.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <sstream>

#include "ChangelogText.h"
#include "WatchTracker.h"

namespace {

using sim::FileAttr;
using sim::FileEvent;

// A mount whose root (watch 1) belongs to uid 1000. Objects get the FIDs
// [0x200000400:n:0] in order of creation; a gone object's FID is [0x200000401:n:0].
class FakeTree : public sim::TrackerWorld {
public:
    struct Obj {
        lu_fid fid;
        FileAttr attr;
    };
    std::map<std::string, std::shared_ptr<Obj>> names;  // hard links share their object
    std::map<std::string, int> watches{{"", 1}};
    std::vector<FileEvent> queued;  // what the kernel holds until the tracker reads it
    std::string log;
    unsigned objects = 0, gone = 0, cookies = 0;
    int nextWd = 2;

    bool FidAt(size_t, const std::string& rel, lu_fid& fid) override
    {
        return names.count(rel) ? (fid = names[rel]->fid, true) : rel.empty() && (fid = {0x200000007, 1, 0}, true);
    }
    bool Stat(size_t, const std::string& rel, FileAttr& attr) override
    {
        if (rel.empty()) attr = {S_IFDIR | 0755, 1000, 100, 0, 0};
        return rel.empty() || (names.count(rel) && (attr = names[rel]->attr, true));
    }
    lu_fid FidOfGone(const std::string&, bool) override { return {0x200000401, ++gone, 0}; }
    bool HsmExists(const lu_fid&) override { return false; }
    std::vector<std::string> List(size_t, const std::string& rel) override
    {
        std::vector<std::string> in;
        for (const auto& [n, o] : names)
            if (n.rfind(rel + "/", 0) == 0 && n.find('/', rel.size() + 1) == std::string::npos)
                in.push_back(n.substr(rel.size() + 1));
        return in;
    }
    int Watch(size_t, const std::string& rel) override { return watches[rel] = nextWd++; }
    void Unwatch(int) override {}
    bool MoreEvents(std::vector<FileEvent>& events) override
    {
        events.insert(events.end(), queued.begin(), queued.end());
        const bool any = !queued.empty();
        queued.clear();
        return any;
    }
    bool OwnEvent(const FileEvent&) override { return false; }
    void Log(const std::string& text) override { log += text + ";"; }

    // An event of the directory holding rel, when it is watched.
    void Event(const std::string& rel, uint32_t mask, uint32_t cookie = 0)
    {
        const size_t slash = rel.rfind('/');
        const std::string dir = slash == std::string::npos ? "" : rel.substr(0, slash);
        if (watches.count(dir)) queued.push_back({watches[dir], mask, cookie, rel.substr(slash + 1)});
    }
    // One step: "make NAME UID", "mkdir NAME UID", "write NAME", "shorten NAME", "chown NAME UID",
    // "touch NAME", "link NAME NEW", "mv NAME NEW", "rm NAME", "overflow".
    void Do(const std::string& step)
    {
        std::istringstream in(step);
        std::string verb, a, b;
        in >> verb >> a >> b;
        const bool dir = verb == "mkdir";
        if (verb == "make" || dir) {
            names[a] =
                std::make_shared<Obj>(Obj{{0x200000400, ++objects, 0},
                                          {dir ? S_IFDIR | 0755u : S_IFREG | 0644u, uid_t(std::stoul(b)), 100, 0, 0}});
            Event(a, IN_CREATE | (dir ? IN_ISDIR : 0));
        } else if (verb == "write" || verb == "shorten") {
            names[a]->attr.size = verb == "write" ? names[a]->attr.size + 10 : 1;
            Event(a, IN_MODIFY);
            Event(a, IN_CLOSE_WRITE);
        } else if (verb == "chown" || verb == "touch") {
            verb == "chown" ? void(names[a]->attr.uid = uid_t(std::stoul(b))) : void(names[a]->attr.mtimeNs += 1);
            Event(a, IN_ATTRIB);
        } else if (verb == "link" || verb == "mv") {
            names[b] = names[a];
            if (verb == "mv") names.erase(a);
            verb == "mv" ? (Event(a, IN_MOVED_FROM, ++cookies), Event(b, IN_MOVED_TO, cookies)) : Event(b, IN_CREATE);
        } else if (verb == "rm") {
            names.erase(a);
            Event(a, IN_DELETE);
        } else if (verb == "overflow") {
            queued.push_back({-1, IN_Q_OVERFLOW, 0, ""});
        }
    }
};

std::string Fid(const sim::Fid& f)
{
    if (f.seq == 0) return "0";
    if (f.seq == 0x200000007) return "root";
    return (f.seq == 0x200000401 ? "gone" : "#") + std::to_string(f.oid);
}

struct Row {
    const char* steps;  // ';' between steps; "." the tracker handles what is queued
    const char* records;
};

const Row kRows[] = {
    // Kept up: each record carries the owner the file had.
    {"make a 1234;.;write a;.;mv a b;.;rm b;.",
     "01CREAT 0 #1 root a u=1234|11CLOSE 2 #1 0  u=1234|08RENME 0 0 root b s=#1 root a u=1234|06UNLNK 1 #1 root b "
     "u=1234"},
    // Looked late: gone before the look, the file is its directory owner's.
    {"make a 1234;write a;mv a b;rm b;.",
     "01CREAT 0 gone1 root a u=1000|11CLOSE 2 gone1 0  u=1000|08RENME 0 0 root b s=gone1 root a u=1000|"
     "06UNLNK 1 gone1 root b u=1000"},
    // Found under its new name; the rename's record follows.
    {"make a 1234;mv a b;.", "01CREAT 0 #1 root a u=1234|08RENME 0 0 root b s=#1 root a u=1234"},
    {"make a 7;.;link a b;.;rm a;.;rm b;.",
     "01CREAT 0 #1 root a u=7|03HLINK 0 #1 root b u=7|06UNLNK 0 #1 root a u=7|06UNLNK 1 #1 root b u=7"},
    {"make a 7;make b 8;.;mv a b;.",
     "01CREAT 0 #1 root a u=7|01CREAT 0 #2 root b u=8|08RENME 1 #2 root b s=#1 root a u=7"},
    // What a new directory holds when first looked at is recorded too.
    {"mkdir d 5;make d/x 6;.;make d/y 6;.", "02MKDIR 0 #1 root d u=5|01CREAT 0 #2 #1 x u=6|01CREAT 0 #3 #1 y u=6"},
    {"make a 7;write a;.;chown a 9;.;touch a;.;shorten a;.",
     "01CREAT 0 #1 root a u=7|11CLOSE 2 #1 0  u=7|14SATTR 0 #1 0  u=9|17MTIME 0 #1 0  u=9|13TRUNC 0 #1 0  u=9|"
     "11CLOSE 2 #1 0  u=9"},
    {"overflow;make a 7;.", "01CREAT 0 #1 root a u=7"},
};

TEST(WatchTracker, RecordsOfEachSequenceOfSteps)
{
    for (const Row& row : kRows) {
        FakeTree tree;
        sim::WatchTracker tracker(tree, "lustre", 1);
        ASSERT_TRUE(tracker.AddMount(0));
        std::istringstream steps(row.steps);
        for (std::string step; std::getline(steps, step, ';');) {
            if (step != ".") {
                tree.Do(step);
                continue;
            }
            std::vector<FileEvent> events;
            tree.MoreEvents(events);
            tracker.Handle(events);
        }
        std::string records;
        for (const auto& [mdt, r] : tracker.TakeRecords()) {
            char type[8];
            std::snprintf(type, sizeof type, "%02d", r.type);
            records += (records.empty() ? "" : "|") + std::string(type) + sim::ChangelogTypeName(r.type) + " " +
                       std::to_string(r.flags) + " " + Fid(r.tfid) + " " + Fid(r.pfid) + " " + r.name +
                       (r.rename ? " s=" + Fid(r.sfid) + " " + Fid(r.spfid) + " " + r.sname : "") +
                       " u=" + std::to_string(r.uid);
        }
        EXPECT_EQ(records, row.records) << row.steps;
        EXPECT_EQ(tree.log,
                  std::string(row.steps).find("overflow") == 0 ? "events were lost (inotify queue overflow);" : "")
            << row.steps;
    }
}

}  // namespace
