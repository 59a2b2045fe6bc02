#include "HsmFileRequests.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "Diagnostics.h"
#include "ResourceOwners.h"

namespace LustreAPI {
namespace {

struct FileItem {
    size_t index;  // into paths and results
    lu_fid fid;
};

// Reads path's FID and device through a descriptor of its own. Returns 0 or
// a negative errno.
int ReadFileFid(llapi_fd2fid_t fd2fid, const std::string& path, lu_fid& fid, dev_t& device)
{
    common::UniqueFd fd;
    const int opened = OpenForFid(path.c_str(), fd, &device);
    if (opened < 0) return opened;
    lu_fid found{};
    const int result = fd2fid(fd.Get(), &found);
    if (result < 0) return result;
    fid = found;
    return 0;
}

// Builds and submits one request for items [first, last). Returns
// llapi_hsm_request's result, or -ENOMEM when no request could be allocated.
int SubmitOne(const HsmRequestEntries& entries, const std::vector<std::string>& paths,
              std::vector<FileItem>::const_iterator first, std::vector<FileItem>::const_iterator last, int action,
              unsigned int archiveId, const std::string& data)
{
    const int count = static_cast<int>(last - first);
    const int dataLength = static_cast<int>(data.size());
    std::unique_ptr<hsm_user_request, FreeDeleter> request(entries.alloc(count, dataLength));
    if (!request) {
        LogAlways(LAPI_LOCATION, "failed to allocate HSM request");
        return -ENOMEM;
    }
    hsm_request header{};
    header.hr_action = static_cast<unsigned int>(action);
    header.hr_archive_id = archiveId;
    header.hr_flags = 0;
    header.hr_itemcount = static_cast<unsigned int>(count);
    header.hr_data_len = static_cast<unsigned int>(dataLength);
    request->hur_request = header;
    // Items are packed: whole values are assigned, no member address is taken.
    hsm_user_item* item = request->hur_user_item;
    for (auto it = first; it != last; ++it, ++item) {
        hsm_user_item filled;
        filled.hui_fid = it->fid;
        filled.hui_extent.offset = 0;
        filled.hui_extent.length = ~0ULL;  // to the end of the file
        std::memcpy(static_cast<void*>(item), &filled, sizeof filled);
    }
    if (dataLength > 0)
        std::memcpy(reinterpret_cast<char*>(request.get()) + sizeof(hsm_user_request) +
                        static_cast<size_t>(count) * sizeof(hsm_user_item),
                    data.data(), data.size());
    // Lustre sends the request to the mount that holds the path it is given.
    return entries.request(paths[first->index].c_str(), request.get());
}

}  // namespace

int OpenForFid(const char* path, common::UniqueFd& fd, dev_t* device)
{
    fd.Reset(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.Valid()) return -errno;
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0) {
        const int statErrno = errno;
        fd.Reset();
        return -statErrno;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        fd.Reset();
        return -EINVAL;
    }
    if (device) *device = st.st_dev;
    return 0;
}

size_t ItemsPerRequest(size_t dataLength)
{
    const size_t fixed = sizeof(hsm_user_request);
    if (dataLength + fixed >= kMaxHsmRequestBytes) return 1;
    return std::max<size_t>(1, (kMaxHsmRequestBytes - fixed - dataLength) / sizeof(hsm_user_item));
}

HsmFilesOutcome SubmitFileRequests(const HsmRequestEntries& entries, const std::vector<std::string>& paths, int action,
                                   unsigned int archiveId, const std::string& data, std::vector<int>& results,
                                   const HSMProgress& progress)
{
    results.assign(paths.size(), 0);
    HsmFilesOutcome outcome;
    // The files whose result is known: those that failed before any request,
    // then those of each request as it returns.
    size_t known = 0;
    const auto report = [&] {
        if (progress) progress(known, paths.size());
    };

    // The FIDs first, each descriptor closed before the next is opened.
    // Files of one device share a mount, and a FID names a file only within
    // its own file system: a request never mixes devices.
    std::map<dev_t, std::vector<FileItem>> byDevice;
    std::vector<dev_t> deviceOrder;
    for (size_t i = 0; i < paths.size(); ++i) {
        FileItem item{i, {}};
        dev_t device = 0;
        results[i] = ReadFileFid(entries.fd2fid, paths[i], item.fid, device);
        if (results[i] < 0) {
            ++known;
            continue;
        }
        auto& items = byDevice[device];
        if (items.empty()) deviceOrder.push_back(device);
        items.push_back(item);
    }

    // The client releases file by file and stops at the first failure, so a
    // release goes alone: every file is tried and gets its own result.
    const size_t perRequest = action == HUA_RELEASE ? 1 : ItemsPerRequest(data.size());
    for (dev_t device : deviceOrder) {
        const std::vector<FileItem>& items = byDevice[device];
        for (size_t start = 0; start < items.size(); start += perRequest) {
            const auto first = items.begin() + static_cast<long>(start);
            const auto last = items.begin() + static_cast<long>(std::min(items.size(), start + perRequest));
            ++outcome.requests;
            const int result = SubmitOne(entries, paths, first, last, action, archiveId, data);
            if (result >= 0 || last - first == 1) {
                for (auto it = first; it != last; ++it) results[it->index] = std::min(result, 0);
                known += static_cast<size_t>(last - first);
                report();
                continue;
            }
            report();
            // Lustre stops a request at its first refused item and keeps
            // what it queued before it; the coordinator skips what is
            // already queued, so sending each file again queues nothing
            // twice and tells which files were refused.
            for (auto it = first; it != last; ++it) {
                ++outcome.requests;
                results[it->index] = std::min(SubmitOne(entries, paths, it, it + 1, action, archiveId, data), 0);
                ++known;
                report();
            }
        }
    }
    // Every file failed before a request could be made: all are known now.
    if (outcome.requests == 0 && !paths.empty()) report();

    outcome.failed = static_cast<size_t>(std::count_if(results.begin(), results.end(), [](int r) { return r < 0; }));
    return outcome;
}

CKxError ManyFilesError(const HBCodeLocation& where, const char* what, const std::vector<std::string>& paths,
                        const std::vector<int>& results)
{
    size_t failed = 0, first = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        if (results[i] >= 0) continue;
        if (failed++ == 0) first = i;
    }
    if (failed == 0) return CKxError();
    const int firstErrno = -results[first];
    return HBErrorUtil::ErrorErrNo(where, firstErrno, "%s failed for %zu of %zu files, first %s: %s", what, failed,
                                   paths.size(), paths[first].c_str(), std::strerror(firstErrno));
}

}  // namespace LustreAPI
