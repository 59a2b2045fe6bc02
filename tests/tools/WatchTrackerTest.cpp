// The watcher's tracker fed made-up events of one made-up directory, the
// mount point of uid 1000, that it looks at only after they all happened.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include "ChangelogText.h"
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
                       (r.tfid.f_seq == 0x200000401 ? " gone " : " #" + std::to_string(r.tfid.f_oid) + " ") + r.name +
                       (r.rename ? " " + r.sname : "") + " u=" + std::to_string(r.uid);
        EXPECT_EQ(records, row.expected) << row.expected;
    }
}

}  // namespace
