// "lustre-sim watch": a background process that turns what happens to the
// files of a mounted stand-in file system into changelog records, as an MDT
// logs the operations it serves.
//
// It watches every mount of the file system with inotify and writes CREAT,
// MKDIR, HLINK, SLINK, MKNOD, UNLNK, RMDIR, RENME, CLOSE, TRUNC, SATTR and
// MTIME records with the stand-in library's FIDs (sim/lib/FidStore), and the
// 16HSM records the library posts from its copytool flow
// (sim/lib/WatchSpool.h). Each record goes to the MDT of its parent
// directory (of the file for records without a parent).
//
// One watcher per file system; its files live in <state>/watch/<fs>/: "pid"
// (locked while it runs), "events" (the notices it reads) and "log".
#pragma once
#include <lustre/lustreapi.h>

#include <string>

#include "ChangelogStore.h"
#include "SimConfig.h"

namespace sim {

// Starts the watcher of fs and returns once it watches: everything done to
// the files after the return is recorded. False, with the reason, when fs
// has no mount, is watched already, or the watcher could not start.
[[nodiscard]] bool StartWatcher(const std::string& stateDir, const Config& config, const std::string& fs,
                                std::string& error);

// Returns once the records of everything done before the call are written.
// stop: the watcher then ends, and the call returns after it has exited.
// False, with the reason, when no watcher of fs runs or it did not answer
// within timeoutMs.
[[nodiscard]] bool FlushWatcher(const std::string& stateDir, const std::string& fs, bool stop, int timeoutMs,
                                std::string& error);

// The stand-in library's FID of the object at rel below the first mount of
// fs (assigned when it has none yet). False when nothing is there.
[[nodiscard]] bool LibraryFid(const std::string& stateDir, const std::string& fs, const std::string& rel, lu_fid& fid);

}  // namespace sim
