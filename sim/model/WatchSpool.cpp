#include "WatchSpool.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace sim::lib {

std::string WatchDir(const std::string& stateDir, const std::string& fs) { return stateDir + "/watch/" + fs; }

std::string WatchEventsDir(const std::string& stateDir, const std::string& fs)
{
    return WatchDir(stateDir, fs) + "/events";
}

unsigned HsmRecordFlags(HsmEvent event, int errval, bool dirty)
{
    if (errval < 0) errval = -errval;
    const unsigned error = errval > 126 ? 0x7fu : static_cast<unsigned>(errval);
    return error | (static_cast<unsigned>(event) & 7u) << 7 | (dirty ? 0x400u : 0u);
}

std::string HsmNotice(const lu_fid& fid, unsigned flags, unsigned uid, unsigned gid)
{
    char buf[128];
    snprintf(buf, sizeof buf, "hsm %llx %x %x %x %u %u", static_cast<unsigned long long>(fid.f_seq), fid.f_oid,
             fid.f_ver, flags, uid, gid);
    return buf;
}

std::string QuietNotice(const lu_fid& fid, bool begin)
{
    char buf[96];
    snprintf(buf, sizeof buf, "%s %llx %x %x", begin ? "quiet" : "done", static_cast<unsigned long long>(fid.f_seq),
             fid.f_oid, fid.f_ver);
    return buf;
}

std::string PostWatchNotice(const std::string& stateDir, const std::string& fs, const std::string& line)
{
    static std::atomic<unsigned long> counter{0};
    const std::string dir = WatchEventsDir(stateDir, fs);
    const std::string name = std::to_string(getpid()) + "." + std::to_string(++counter);
    // Written under a dot name the watcher ignores, then renamed: the rename
    // is the event, and the watcher never reads half a line.
    const std::string temp = dir + "/." + name;
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return "";  // no watcher
    const std::string text = line + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (written && rename(temp.c_str(), (dir + "/" + name).c_str()) == 0) return name;
    unlink(temp.c_str());
    return "";
}

}  // namespace sim::lib
