#include "HsmFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "UniqueFd.h"

namespace sim::lib {
namespace {

timespec FromNs(long long ns)
{
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return ts;
}

int SetMtime(int fd, long long mtimeNs)
{
    timespec times[2] = {{0, UTIME_OMIT}, FromNs(mtimeNs)};
    return futimens(fd, times) == 0 ? 0 : -errno;
}

}  // namespace

void RefreshDirty(FileHsm& f, const std::string& path)
{
    if (!(f.flags & HS_ARCHIVED) || (f.flags & HS_DIRTY)) return;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (MtimeNs(st) != f.mtimeNs || st.st_size != f.size) f.flags |= HS_DIRTY;
}

int MarkArchived(FileHsm& f, const std::string& path, unsigned archiveId)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return -errno;
    f.flags = (f.flags | HS_EXISTS | HS_ARCHIVED) & ~HS_DIRTY;
    f.archiveId = archiveId;
    f.mtimeNs = MtimeNs(st);
    f.size = st.st_size;
    return 0;
}

int ReleaseData(FileHsm& f, const std::string& path)
{
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.Valid()) return -errno;
    struct stat st;
    if (fstat(fd.Get(), &st) != 0) return -errno;
    if (ftruncate(fd.Get(), 0) != 0 || ftruncate(fd.Get(), st.st_size) != 0) return -errno;
    int rc = SetMtime(fd.Get(), MtimeNs(st));
    if (rc != 0) return rc;
    f.flags |= HS_RELEASED;
    return 0;
}

int RestoreData(FileHsm& f, const std::string& path, int dataFd)
{
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.Valid()) return -errno;
    if (ftruncate(fd.Get(), 0) != 0) return -errno;
    char buf[65536];
    off_t offset = 0;
    for (;;) {
        ssize_t n = pread(dataFd, buf, sizeof buf, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = pwrite(fd.Get(), buf + done, static_cast<size_t>(n - done), offset + done);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return -errno;
            done += w;
        }
        offset += n;
    }
    int rc = SetMtime(fd.Get(), f.mtimeNs);
    if (rc != 0) return rc;
    f.flags &= ~HS_RELEASED;
    // The restored data is what was archived: keep the archived size, so a
    // short restore shows up as dirty.
    struct stat st;
    if (fstat(fd.Get(), &st) == 0 && st.st_size != f.size) f.flags |= HS_DIRTY;
    return 0;
}

}  // namespace sim::lib
