// What the watcher makes of file events: the changelog records each event
// of the directories below a file system's mounts gives, decided from what
// the tracker knows of those directories and what a look at the object
// finds now.
//
// The tracker does no I/O of its own. The watcher (Watcher.h) feeds it the
// inotify events and answers its looks through TrackerWorld: the objects'
// FIDs and HSM state from the stand-in library's stores, attributes from
// lstat, new watches from inotify. A test answers them from a made-up tree.
//
// Records carry no time and no index: whoever writes them sets both.
#pragma once
#include <lustre/lustreapi.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ChangelogFeed.h"

namespace sim {

// An object's attributes, as a later change is compared with them. mode 0:
// never seen (only the owner is known).
struct FileAttr {
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    long long mtimeNs = 0;
    long long size = 0;
};

// One inotify event: the watch it came from, its IN_* mask, the cookie that
// pairs the halves of a rename, the name in the watched directory.
struct FileEvent {
    int wd;
    uint32_t mask;
    uint32_t cookie;
    std::string name;
};

// The tracker's view of the world. Objects are named by the index of their
// mount (as given to AddMount) and their path below it ("" for the mount
// point itself).
class TrackerWorld {
public:
    virtual ~TrackerWorld() = default;
    // The library's FID of the object at rel, assigned when it has none yet.
    // False when nothing is there.
    virtual bool FidAt(size_t mount, const std::string& rel, lu_fid& fid) = 0;
    // The attributes of the object at rel, a symlink itself rather than
    // what it points to. False when nothing is there.
    virtual bool Stat(size_t mount, const std::string& rel, FileAttr& attr) = 0;
    // For an object gone before it was looked at: the FID the library gave
    // to that path, or a FID never given before.
    virtual lu_fid FidOfGone(const std::string& rel, bool isDir) = 0;
    // Whether the object has a copy in an HSM archive.
    virtual bool HsmExists(const lu_fid& fid) = 0;
    // The names in the directory at rel, without "." and "..".
    virtual std::vector<std::string> List(size_t mount, const std::string& rel) = 0;
    // Starts watching the directory at rel: its watch, or -1.
    virtual int Watch(size_t mount, const std::string& rel) = 0;
    virtual void Unwatch(int wd) = 0;
    // Appends the events queued since the last read; false when none were.
    virtual bool MoreEvents(std::vector<FileEvent>& events) = 0;
    // An event that is the world's own, not of a tracked directory (the
    // library's notices): handled by the world in its turn. True when it was.
    virtual bool OwnEvent(const FileEvent& event) = 0;
    virtual void Log(const std::string& text) = 0;
};

class WatchTracker {
public:
    WatchTracker(TrackerWorld& world, std::string fs, int mdts) : m_world(world), m_fs(std::move(fs)), m_mdts(mdts) {}

    // Watches a mount point and takes in what it holds, recording nothing.
    // False when the mount point cannot be looked at or watched.
    [[nodiscard]] bool AddMount(size_t mount);

    // Handles a batch of events in order. Handlers may append the events
    // queued meanwhile (MoreEvents), which are then handled in the batch.
    void Handle(std::vector<FileEvent>& events);

    // The library is writing the object's data: no CLOSE, TRUNC or MTIME of
    // it until Done.
    void Quiet(const lu_fid& fid);
    // The library's writes are over: its attributes as they are now.
    void Done(const lu_fid& fid);
    // An HSM action on the object ended (16HSM with Lustre's flags), by the
    // given user.
    void HsmEnded(const lu_fid& fid, uint32_t flags, uid_t uid, gid_t gid);

    // The records made since the last call, each with its MDT's name.
    std::vector<std::pair<std::string, ChangelogRecord>> TakeRecords();

private:
    using FidKey = std::tuple<unsigned long long, unsigned, unsigned>;
    static FidKey Key(const lu_fid& f) { return {f.f_seq, f.f_oid, f.f_ver}; }

    struct Entry {
        lu_fid fid{};
        bool isDir = false;
        int wd = -1;  // the directory's watch
    };
    struct Dir {
        int parent = -1;  // the parent's watch; -1 for a mount point
        std::string name;
        size_t mount = 0;
        lu_fid fid{};
        FileAttr attr;  // as it was when the watch was added
        std::map<std::string, Entry> entries;
    };

    void OnEvent(std::vector<FileEvent>& events, size_t i);
    std::string RelOf(int wd) const;
    std::string RelOf(int wd, const std::string& name) const;
    bool FidAt(int wd, const std::string& name, lu_fid& fid);
    bool Stat(int wd, const std::string& name, FileAttr& attr);
    // Where the object that the event being handled names is now, following
    // the renames reported after it. False when nothing says it moved.
    bool Follow(int& wd, std::string& name);
    // What the object was last seen as; for one never seen, the owner of
    // the directory it appeared in (whoever made it there, most likely).
    FileAttr Owner(const lu_fid& fid, const Dir& dir) const;

    void Created(int wd, const std::string& name, bool isDirHint, bool moved, bool emit);
    // Watches the directory name in the directory watched as parent.
    int AddWatch(int parent, const std::string& name, Dir d);
    // Takes in what a newly watched directory holds.
    void Scan(int wd, bool emit);
    void Removed(int wd, const std::string& name);
    void Renamed(int fromWd, const std::string& fromName, int toWd, const std::string& toName);
    void Changed(int wd, const std::string& name, uint32_t mask);
    void Forget(int wd);

    void Emit(int type, uint32_t flags, const lu_fid& target, const lu_fid* parent, const std::string& name,
              const FileAttr& owner, const lu_fid* source = nullptr, const lu_fid* sourceParent = nullptr,
              const std::string& sourceName = "");

    TrackerWorld& m_world;
    std::string m_fs;
    int m_mdts;
    std::map<int, Dir> m_dirs;
    std::map<FidKey, int> m_links;  // names of each object below the mounts
    std::map<FidKey, FileAttr> m_attrs;
    std::set<FidKey> m_quiet;  // objects whose data the library is writing
    std::vector<std::pair<std::string, ChangelogRecord>> m_records;
    std::vector<FileEvent>* m_batch = nullptr;
    size_t m_index = 0;  // the event being handled
};

}  // namespace sim
