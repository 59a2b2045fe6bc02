// The hand-over between the stand-in library and "lustre-sim watch": what
// the library does to files on its own (HSM events, and the data it writes
// while releasing or restoring) is posted to the watcher of the file system,
// in the order it happens relative to the file activity the watcher sees.
//
// A running watcher of file system FS owns <state>/watch/FS/events. Each
// notice is a small file renamed into that directory, one line of text; the
// watcher reads the renames through the same inotify instance as the mount,
// so a notice takes its place among the file events. Without a watcher the
// directory does not exist and nothing is posted.
#pragma once
#include <lustre/lustreapi.h>

#include <string>

namespace sim::lib {

// <stateDir>/watch/<fs>, and its events directory.
std::string WatchDir(const std::string& stateDir, const std::string& fs);
std::string WatchEventsDir(const std::string& stateDir, const std::string& fs);

using HsmEvent = hsm_event;

// The flags of a 16HSM record: the error (positive errno, 0x7F when larger
// than 126) in bits 0-6, the event in bits 7-9, CLF_HSM_DIRTY in bit 10.
unsigned HsmRecordFlags(HsmEvent event, int errval, bool dirty);

// A notice line: "hsm SEQ OID VER FLAGS UID GID" (a 16HSM record), "quiet
// SEQ OID VER" or "done SEQ OID VER".
std::string HsmNotice(const lu_fid& fid, unsigned flags, unsigned uid, unsigned gid);
std::string QuietNotice(const lu_fid& fid, bool begin);

// Posts one notice to the watcher of fs, if one runs. "quiet" says that the
// library is about to write the file's data itself, so the changes up to
// the next "hsm" or "done" notice of that file are not the user's. Returns
// the notice's name in the events directory, or "" when it was not posted
// (no watcher runs): the library ignores that, the watcher is an observer.
std::string PostWatchNotice(const std::string& stateDir, const std::string& fs, const std::string& line);

}  // namespace sim::lib
