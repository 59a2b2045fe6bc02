// The watcher's tracker fed made-up events of one made-up directory, the
// mount point of uid 1000, looked at after each step (".") or only late.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <sstream>

#include "ChangelogText.h"
#include "WatchTracker.h"

namespace {

struct Tree : sim::TrackerWorld {
    std::map<std::string, std::pair<unsigned, sim::FileAttr>> files;  // name -> FID's oid, attributes
    std::vector<sim::FileEvent> queued;
    std::string log;
    unsigned made = 0, cookie = 0;

    bool FidAt(size_t, const std::string& rel, lu_fid& fid) override
    {
        fid = {0x200000400, rel.empty() ? 0 : files.count(rel) ? files[rel].first : 0, 0};
        return fid.f_oid || rel.empty();
    }
    bool Stat(size_t, const std::string& rel, sim::FileAttr& attr) override
    {
        attr = rel.empty() ? sim::FileAttr{S_IFDIR | 0755, 1000, 100, 0, 0} : files[rel].second;
        return rel.empty() || files[rel].first;
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
    void Log(const std::string& text) override { log += text; }

    // "make NAME UID", "write NAME", "mv NAME NEW", "rm NAME", "overflow".
    void Do(const std::string& step)
    {
        std::istringstream in(step);
        std::string verb, a, b;
        in >> verb >> a >> b;
        if (verb == "make") files[a] = {++made, {S_IFREG | 0644, uid_t(std::stoul(b)), 100, 0, 0}};
        if (verb == "mv") files[b] = files[a];
        if (verb == "mv" || verb == "rm") files.erase(a);
        static const std::map<std::string, std::vector<uint32_t>> kMasks = {{"make", {IN_CREATE}},
                                                                            {"write", {IN_MODIFY, IN_CLOSE_WRITE}},
                                                                            {"mv", {IN_MOVED_FROM, IN_MOVED_TO}},
                                                                            {"rm", {IN_DELETE}},
                                                                            {"overflow", {IN_Q_OVERFLOW}}};
        cookie += verb == "mv";
        for (uint32_t mask : kMasks.at(verb))
            queued.push_back({mask == IN_Q_OVERFLOW ? -1 : 1, mask, cookie, mask == IN_MOVED_TO ? b : a});
    }
};

TEST(WatchTracker, RecordsCarryTheOwnerTheFileHad)
{
    const std::pair<const char*, const char*> rows[] = {
        {"make a 1234;.;write a;.;mv a b;.;rm b;.",
         "CREAT #1 a u=1234|CLOSE #1  u=1234|RENME #0 b a u=1234|UNLNK #1 b u=1234"},
        // Gone before the look: its directory's owner, not uid 0.
        {"make a 1234;write a;mv a b;rm b;.",
         "CREAT gone a u=1000|CLOSE gone  u=1000|RENME #0 b a u=1000|UNLNK gone b u=1000"},
        {"make a 7;mv a b;.", "CREAT #1 a u=7|RENME #0 b a u=7"},  // followed to its new name
        {"overflow;make a 7;.", "events were lost (inotify queue overflow)CREAT #1 a u=7"},
    };
    for (const auto& [steps, expected] : rows) {
        Tree tree;
        sim::WatchTracker tracker(tree, "lustre", 1);
        ASSERT_TRUE(tracker.AddMount(0));
        std::istringstream in(steps);
        for (std::string step; std::getline(in, step, ';');) {
            std::vector<sim::FileEvent> events;
            if (step != ".") tree.Do(step);
            if (step == "." && tree.MoreEvents(events)) tracker.Handle(events);
        }
        std::string records = tree.log;
        for (const auto& [mdt, r] : tracker.TakeRecords())
            records += (records.size() > tree.log.size() ? "|" : "") + std::string(sim::ChangelogTypeName(r.type)) +
                       (r.tfid.seq == 0x200000401 ? " gone " : " #" + std::to_string(r.tfid.oid) + " ") + r.name +
                       (r.rename ? " " + r.sname : "") + " u=" + std::to_string(r.uid);
        EXPECT_EQ(records, expected) << steps;
    }
}

}  // namespace
