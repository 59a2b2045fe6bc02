// Stable FIDs for the files and directories under the stand-in's mounts.
//
// A FID is given to an object the first time it is asked for and kept in the
// state store (sim/common/StateDb.h), keyed by file system, device, inode and
// birth time, so it survives renames, is the same in every process, and a FID
// given to a file that was deleted is not handed to a new file that reuses
// its inode (where the file system records birth times). The path last seen
// for a FID is kept to find the object again quickly; after a rename the
// mount is searched. This store is the one FID allocator of the stand-in:
// the library, the watcher and lustre-sim all take new FIDs from Allocate.
//
// Callers run a sim::Transaction on Context::db around Load, the calls and
// Save; every call is a keyed lookup or change. A failed statement fails
// the transaction (the call's result is then meaningless, and Save says so).
#pragma once
#include <lustre/lustreapi.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "SimState.h"
#include "StateDb.h"

namespace sim::lib {

// What identifies an object on the local file system.
struct ObjectId {
    unsigned long long dev = 0;
    unsigned long long ino = 0;
    unsigned long long btime = 0;  // birth time in ns, 0 when unknown
    mode_t mode = 0;
    unsigned nlink = 0;
    bool Same(const ObjectId& o) const
    {
        return dev == o.dev && ino == o.ino && (btime == 0 || o.btime == 0 || btime == o.btime);
    }
};

// lstat-like (the last component is not followed). Returns 0 or -errno.
int StatPath(const std::string& path, ObjectId& id);
int StatFd(int fd, ObjectId& id);

// The object behind fd and where it lies; loc.mount stays null outside
// every mount. Fails only when fd is no open descriptor.
int LocateFd(int fd, ObjectId& id, Context& ctx, Located& loc);

class FidStore {
public:
    // Works on ctx's store from now on (nothing is read ahead).
    [[nodiscard]] bool Load(const Context& ctx);
    // False when a call since Load failed: the transaction must not commit.
    [[nodiscard]] bool Save(const Context& ctx);

    // The FID of the object at loc (an object inside loc.mount, described by
    // id); the mount point has the root FID. Assigns a FID on first use.
    lu_fid FidOf(const Context& ctx, const Located& loc, const ObjectId& id);

    // The FID given to the object last seen at rel (relative to a mount of
    // fs), whether or not it is still there. False when none was.
    bool FidOfPath(const std::string& fs, const std::string& rel, lu_fid& fid) const;

    // A FID never given before, on MDT mdt of fs.
    lu_fid Allocate(const std::string& fs, int mdt);

    // Every path of the object with fid below mountDir (several for hard
    // links), sorted, relative to mountDir; "" for the root. Returns 0 or
    // -ENOENT when no object of the mount's file system has that FID.
    int PathsOf(const Mount& mount, const std::string& mountDir, const lu_fid& fid, std::vector<std::string>& rels);

    // The object with fid, as PathsOf's first path and its id.
    int Find(const Mount& mount, const std::string& mountDir, const lu_fid& fid, std::string& rel, ObjectId& id);

private:
    struct Entry {
        lu_fid fid{};
        ObjectId id;
        std::string rel;  // last known path below the mount
    };
    bool FindEntry(const std::string& fs, const lu_fid& fid, Entry& e);
    void SetPath(const std::string& fs, const lu_fid& fid, const std::string& rel);

    StateDb* m_db = nullptr;
};

// The MDT a new object at rel goes to: an object inside a top-level
// directory lives on that directory's MDT, chosen by a hash of its name;
// files directly below the root live on MDT0000.
int MdtForNewObject(const std::string& rel, bool isDir, int mdtCount);

// The MDT that serves fid's sequence, or -1 for a sequence no MDT serves.
int MdtOfFid(const lu_fid& fid, int mdtCount);

}  // namespace sim::lib
