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

// Opens the file to replace its data. HSM works below permissions: a file
// its owner cannot write is opened after lending the owner write permission,
// given back when the data is in place.
class DataWriter {
public:
    explicit DataWriter(const std::string& path) : m_path(path)
    {
        m_fd.Reset(open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        if (m_fd.Valid() || errno != EACCES) {
            m_error = m_fd.Valid() ? 0 : -errno;
            return;
        }
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || chmod(path.c_str(), st.st_mode | S_IWUSR) != 0) {
            m_error = -EACCES;
            return;
        }
        m_restoreMode = st.st_mode & 07777;
        m_fd.Reset(open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        m_error = m_fd.Valid() ? 0 : -errno;
    }
    ~DataWriter()
    {
        if (m_restoreMode == kNone) return;
        if (!m_fd.Valid() || fchmod(m_fd.Get(), m_restoreMode) != 0) (void)chmod(m_path.c_str(), m_restoreMode);
    }
    DataWriter(const DataWriter&) = delete;
    DataWriter& operator=(const DataWriter&) = delete;
    int Error() const { return m_error; }
    int Fd() const { return m_fd.Get(); }

private:
    static constexpr mode_t kNone = ~static_cast<mode_t>(0);
    std::string m_path;
    common::UniqueFd m_fd;
    int m_error = 0;
    mode_t m_restoreMode = kNone;
};

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
    DataWriter file(path);
    if (file.Error() != 0) return file.Error();
    struct stat st;
    if (fstat(file.Fd(), &st) != 0) return -errno;
    if (ftruncate(file.Fd(), 0) != 0 || ftruncate(file.Fd(), st.st_size) != 0) return -errno;
    int rc = SetMtime(file.Fd(), MtimeNs(st));
    if (rc != 0) return rc;
    f.flags |= HS_RELEASED;
    return 0;
}

int RestoreData(FileHsm& f, const std::string& path, int dataFd)
{
    DataWriter file(path);
    if (file.Error() != 0) return file.Error();
    const int fd = file.Fd();
    if (ftruncate(fd, 0) != 0) return -errno;
    char buf[65536];
    off_t offset = 0;
    for (;;) {
        ssize_t n = pread(dataFd, buf, sizeof buf, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = pwrite(fd, buf + done, static_cast<size_t>(n - done), offset + done);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return -errno;
            done += w;
        }
        offset += n;
    }
    int rc = SetMtime(fd, f.mtimeNs);
    if (rc != 0) return rc;
    f.flags &= ~HS_RELEASED;
    // The restored data is what was archived: keep the archived size, so a
    // short restore shows up as dirty.
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size != f.size) f.flags |= HS_DIRTY;
    return 0;
}

}  // namespace sim::lib
