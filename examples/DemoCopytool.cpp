#include "DemoCopytool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>

#include "UniqueFd.h"

namespace demo {

namespace {

using common::UniqueFd;

constexpr size_t kChunk = 64 * 1024;

// One progress line per report (rewritten in place only on a terminal).
void ShowProgress(const std::string& fid, unsigned long long copied, unsigned long long total)
{
    const unsigned percent = total ? static_cast<unsigned>(copied * 100 / total) : 100;
    Progress(Format("     copying %s  %llu/%llu bytes  %3u%%", fid.c_str(), copied, total, percent));
}

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string FidText(const lu_fid& fid) { return Format(DFID, PFID(&fid)); }

Copytool::~Copytool()
{
    if (m_ct) Unregister();
}

bool Copytool::Register(const std::string& mount, int archiveId)
{
    int archives[1] = {archiveId};
    std::string msg;
    const std::string asked =
        Format("HSMRegister(%s, archive %d, non-blocking receive)", Quoted(mount).c_str(), archiveId);
    m_report.Ask(asked);
    const int rc = LustreAPI::HSMRegister(&m_ct, mount.c_str(), 1, archives, O_NONBLOCK, msg);
    if (rc < 0) {
        m_ct = nullptr;
        return m_report.Fail(asked, ErrnoText(rc) + (msg.empty() ? "" : ": " + msg));
    }
    m_report.Ok(asked, "copytool registered");
    return true;
}

bool Copytool::Unregister()
{
    std::string msg;
    m_report.Ask("HSMUnregister(copytool)");
    const int rc = LustreAPI::HSMUnregister(&m_ct, msg);
    m_ct = nullptr;  // Lustre has released the handle, or it was never valid
    if (rc < 0) return m_report.Fail("HSMUnregister(copytool)", ErrnoText(rc) + (msg.empty() ? "" : ": " + msg));
    m_report.Ok("HSMUnregister(copytool)", "copytool unregistered");
    return true;
}

bool Copytool::Serve(size_t actions, std::chrono::seconds patience, std::vector<ArchivedFile>& archived)
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    size_t done = 0;
    while (done < actions) {
        hsm_action_list* hal = nullptr;
        int size = 0;
        std::string msg;
        m_report.Ask("HSMRecv(copytool)");
        const int rc = LustreAPI::HSMRecv(m_ct, &hal, &size, msg);
        if (rc == -EAGAIN || rc == -EWOULDBLOCK) {
            if (std::chrono::steady_clock::now() >= deadline)
                return m_report.Fail("HSMRecv(copytool)",
                                     Format("only %zu of %zu archive actions arrived within %lld s", done, actions,
                                            static_cast<long long>(patience.count())));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        if (rc < 0) return m_report.Fail("HSMRecv(copytool)", ErrnoText(rc) + (msg.empty() ? "" : ": " + msg));

        // The list lives in Lustre's buffer until the next receive. Lustre's
        // hai_first and hai_next walk it; each item is checked to lie within
        // the size Lustre reported before it is read.
        const size_t listSize = size > 0 ? static_cast<size_t>(size) : 0;
        const size_t nameAt = offsetof(hsm_action_list, hal_fsname);
        if (!hal || listSize <= nameAt || hal->hal_version != HAL_VERSION)
            return m_report.Fail("HSMRecv(copytool)", Format("malformed action list (%d bytes)", size));
        const char* base = reinterpret_cast<const char*>(hal);
        if (strnlen(hal->hal_fsname, listSize - nameAt) >= listSize - nameAt)
            return m_report.Fail("HSMRecv(copytool)", "action list without a file-system name");
        const unsigned count = hal->hal_count;
        m_report.Ok("HSMRecv(copytool)", Format("%u action(s) for archive %u of file system \"%s\"", count,
                                                hal->hal_archive_id, hal->hal_fsname));

        hsm_action_item* item = hai_first(hal);
        for (unsigned i = 0; i < count; ++i, item = hai_next(item)) {
            const size_t at = static_cast<size_t>(reinterpret_cast<const char*>(item) - base);
            if (at + sizeof(hsm_action_item) > listSize)
                return m_report.Fail("HSMRecv(copytool)", Format("action %u lies outside the list", i));
            const size_t itemLen = item->hai_len;
            if (itemLen < sizeof(hsm_action_item) || at + itemLen > listSize)
                return m_report.Fail("HSMRecv(copytool)", Format("action %u has a bad length %zu", i, itemLen));
            if (item->hai_action == HSMA_ARCHIVE) {
                ArchivedFile file;
                if (!Archive(*item, file)) return false;
                archived.push_back(file);
                ++done;
            } else {
                // Not ours to do: tell the coordinator so it does not wait for it.
                hsm_copyaction_private* hcp = nullptr;
                const unsigned action = item->hai_action;
                m_report.Detail(Format("declining %s action %s",
                                       hsm_copytool_action2name(static_cast<hsm_copytool_action>(action)),
                                       FidText(item->hai_fid).c_str()));
                if (LustreAPI::HSMActionBegin(&hcp, m_ct, item, -1, 0, true, msg) >= 0)
                    LustreAPI::HSMActionEnd(&hcp, nullptr, 0, EOPNOTSUPP, msg);
            }
        }
    }
    return true;
}

bool Copytool::Archive(const hsm_action_item& item, ArchivedFile& archived)
{
    const lu_fid fid = item.hai_fid;
    const std::string fidText = FidText(fid);
    std::string msg;
    hsm_copyaction_private* hcp = nullptr;
    const std::string asked = "HSMActionBegin(ARCHIVE " + fidText + ")";
    m_report.Ask(asked);
    int rc = LustreAPI::HSMActionBegin(&hcp, m_ct, &item, -1, 0, false, msg);
    if (rc < 0) return m_report.Fail(asked, ErrnoText(rc) + (msg.empty() ? "" : ": " + msg));
    m_report.Ok(asked, "copy action begun");

    // From here on the action ends with HSMActionEnd whatever happens, with
    // the extent copied and the errno that stopped the copy (0 when none).
    const unsigned long long start = item.hai_extent.offset;
    const unsigned long long wanted = item.hai_extent.length;
    unsigned long long copied = 0;
    std::string failure;
    int errval = 0;
    {
        m_report.Ask("HSMActionGetFD / HSMActionGetDFID");
        const int fd = LustreAPI::HSMActionGetFD(hcp, msg);
        UniqueFd source(fd);  // a descriptor of our own: Lustre hands out a duplicate
        lu_fid dfid{};
        struct stat st {};
        if (fd < 0) {
            errval = -fd;
            failure = "HSMActionGetFD: " + ErrnoText(fd);
        } else if ((rc = LustreAPI::HSMActionGetDFID(hcp, &dfid, msg)) < 0) {
            errval = -rc;
            failure = "HSMActionGetDFID: " + ErrnoText(rc);
        } else if (fstat(fd, &st) != 0) {
            errval = errno;
            failure = "fstat: " + ErrnoText(-errno);
        } else {
            m_report.Ok("HSMActionGetFD / HSMActionGetDFID",
                        Format("descriptor %d, data FID %s, %lld bytes", fd, FidText(dfid).c_str(),
                               static_cast<long long>(st.st_size)));
            archived.copy = m_archiveDir + "/" + fidText.substr(1, fidText.size() - 2);
            UniqueFd target(::open(archived.copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
            const unsigned long long end = static_cast<unsigned long long>(st.st_size);
            const unsigned long long total = start >= end ? 0 : (wanted < end - start ? wanted : end - start);
            std::string buffer(kChunk, '\0');
            if (target.Get() < 0) {
                errval = errno;
                failure = "open(" + archived.copy + "): " + ErrnoText(-errno);
            }
            while (failure.empty() && copied < total) {
                const size_t want = static_cast<size_t>(total - copied < kChunk ? total - copied : kChunk);
                const ssize_t n = ::pread(fd, buffer.data(), want, static_cast<off_t>(start + copied));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0 || !WriteAll(target.Get(), buffer.data(), static_cast<size_t>(n))) {
                    errval = n == 0 ? EIO : errno;
                    failure = "copy: " + ErrnoText(-errval);
                    break;
                }
                const hsm_extent chunk{start + copied, static_cast<unsigned long long>(n)};
                copied += static_cast<unsigned long long>(n);
                rc = LustreAPI::HSMActionProgress(hcp, &chunk, total, 0, msg);
                if (rc < 0) {
                    errval = -rc;
                    failure = "HSMActionProgress: " + ErrnoText(rc);
                    break;
                }
                ShowProgress(fidText, copied, total);
            }
            if (failure.empty() && total == 0) ShowProgress(fidText, 0, 0);
            EndProgress();
            if (failure.empty() && fsync(target.Get()) != 0) {
                errval = errno;
                failure = "fsync: " + ErrnoText(-errno);
            }
        }
    }

    const hsm_extent extent{start, copied};
    const std::string endAsked = Format("HSMActionEnd(%s, %llu bytes, errval %d)", fidText.c_str(), copied, errval);
    if (failure.empty()) m_report.Ask(endAsked);
    rc = LustreAPI::HSMActionEnd(&hcp, &extent, 0, errval, msg);
    if (!failure.empty()) {
        m_report.Fail("copy of " + fidText, failure);
        return false;
    }
    if (rc < 0) return m_report.Fail(endAsked, ErrnoText(rc) + (msg.empty() ? "" : ": " + msg));
    m_report.Ok(endAsked, "archived into " + archived.copy);
    archived.fid = fid;
    archived.bytes = copied;
    return true;
}

}  // namespace demo
