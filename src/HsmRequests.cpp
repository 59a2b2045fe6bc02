// HSM user requests the library builds and submits itself: one file
// (HSMRequest, HSMArchive) or many (HSMRequestFiles).
#include <cstring>
#include <limits>
#include <memory>

#include "CommandPath.h"
#include "Diagnostics.h"
#include "EntryPoints.h"
#include "HsmFileRequests.h"
#include "KxUtils.h"
#include "LustreAPI.h"
#include "ResourceOwners.h"

namespace LustreAPI {

// ---- HSM user requests ------------------------------------------------------------

namespace {

// The one-file request of both HSMRequest overloads; its log lines carry the
// function text of the overload called (function).
int RequestWholeFile(const char* function, const char* path, int action, unsigned int archiveId, const char* data,
                     std::string& msg)
{
    msg.clear();
    // The addresses tested here are the ones called below.
    const auto allocRequest = BoundEntry<&FunctionTable::hsm_user_request_alloc>(msg);
    if (!allocRequest) return -EINVAL;
    const auto submitRequest = BoundEntry<&FunctionTable::hsm_request>(msg);
    if (!submitRequest) return -EINVAL;
    const auto fd2fid = BoundEntry<&FunctionTable::fd2fid>(msg);
    if (!fd2fid) return -EINVAL;

    common::UniqueFd fd;
    const int opened = OpenForFid(path, fd);
    if (opened < 0) {
        LogAlways(LAPI_AT(function), "open(%s) failed, error=%s", path, std::strerror(-opened));
        return opened;
    }

    // hr_data_len is 32 bits; a longer text would be cut short or turn the
    // length negative, so it is refused rather than sent truncated.
    const size_t dataBytes = data ? std::strlen(data) : 0;
    if (dataBytes > static_cast<size_t>(std::numeric_limits<int>::max())) {
        msg = HBString::Format("HSM request data too long (%zu bytes)", dataBytes);
        return -EINVAL;
    }
    const int dataLength = static_cast<int>(dataBytes);

    std::unique_ptr<hsm_user_request, FreeDeleter> request(allocRequest(1, dataLength));
    if (!request) {
        LogAlways(LAPI_AT(function), "failed to allocate HSM request");
        return -ENOMEM;
    }

    char* const bytes = reinterpret_cast<char*>(request.get());
    request->hur_request.hr_action = static_cast<unsigned int>(action);
    request->hur_request.hr_archive_id = archiveId;
    request->hur_request.hr_flags = 0;
    request->hur_request.hr_itemcount = 1;
    request->hur_request.hr_data_len = static_cast<unsigned int>(dataLength);
    if (dataLength > 0) std::memcpy(bytes + sizeof(hsm_user_request) + sizeof(hsm_user_item), data, dataBytes);

    request->hur_user_item[0].hui_extent.offset = 0;
    request->hur_user_item[0].hui_extent.length = ~0ULL;  // to the end of the file

    // The item is packed; its FID lies 8-byte aligned at offset 24 of a
    // malloc'd block, so it is reached through the byte offset rather than
    // by taking the address of a packed member.
    auto* const itemFid =
        reinterpret_cast<lu_fid*>(bytes + offsetof(hsm_user_request, hur_user_item) + offsetof(hsm_user_item, hui_fid));
    const int fdNumber = fd.Get();
    const int fidResult = fd2fid(fdNumber, itemFid);
    fd.Reset();
    if (fidResult < 0) {
        msg = HBString::Format("llapi_fd2fid(%d) failed", fdNumber);
        return fidResult;
    }

    // The label knows archive only: every other action, restore and remove
    // included, reads "release" in the log line and the failure message, as
    // hosts have always seen it. The action code itself goes out unchanged.
    const char* const label = action == HUA_ARCHIVE ? "archive" : "release";
    LogLine(LAPI_AT(function), "HSMRequest(%s, %s) ReparseData=%s", path, label, data ? data : "NULL");

    const int result = submitRequest(path, request.get());
    if (result < 0) msg = HBString::Format("llapi_hsm_request(%s, %s) failed", path, label);
    return result;
}

}  // namespace

int HSMRequest(const char* path, int action, const char* data, std::string& msg)
{
    return RequestWholeFile(__PRETTY_FUNCTION__, path, action, 1, data, msg);
}

int HSMRequest(const char* path, int action, unsigned int archiveId, const char* data, std::string& msg)
{
    return RequestWholeFile(__PRETTY_FUNCTION__, path, action, archiveId, data, msg);
}

// Archive requests are HSMRequest's: its log lines, with its function text.
int HSMArchive(const char* path, const char* data, std::string& msg)
{
    return HSMRequest(path, HUA_ARCHIVE, data, msg);
}

int HSMArchive(const char* path, unsigned int archiveId, const char* data, std::string& msg)
{
    return HSMRequest(path, HUA_ARCHIVE, archiveId, data, msg);
}

namespace {

const char* ActionName(int action)
{
    switch (action) {
    case HUA_ARCHIVE:
        return "archive";
    case HUA_RESTORE:
        return "restore";
    case HUA_RELEASE:
        return "release";
    case HUA_REMOVE:
        return "remove";
    case HUA_CANCEL:
        return "cancel";
    default:
        return "HSM";
    }
}

// The one body of both HSMRequestFiles overloads; its log line and errors
// carry the function text of the overload called (function).
CKxError RequestFiles(const char* function, const std::vector<std::string>& paths, int action, unsigned int archiveId,
                      const std::string& data, std::vector<int>& results, const HSMProgress& progress)
{
    results.clear();
    if (paths.empty()) return CKxError();

    std::string reason;
    const HsmRequestEntries entries{BoundEntry<&FunctionTable::hsm_user_request_alloc>(reason),
                                    reason.empty() ? BoundEntry<&FunctionTable::hsm_request>(reason) : nullptr,
                                    reason.empty() ? BoundEntry<&FunctionTable::fd2fid>(reason) : nullptr};
    if (reason.empty() && data.size() > static_cast<size_t>(std::numeric_limits<int>::max()))
        reason = HBString::Format("HSM request data too long (%zu bytes)", data.size());
    if (!reason.empty()) {
        results.assign(paths.size(), -EINVAL);
        return HBErrorUtil::ErrorErrNo(LAPI_AT(function), EINVAL, "%s", reason.c_str());
    }

    const HsmFilesOutcome outcome = SubmitFileRequests(entries, paths, action, archiveId, data, results, progress);
    const char* const label = ActionName(action);
    LogLine(LAPI_AT(function), "HSMRequestFiles(%s, %zu files, archive %u) in %zu requests, %zu failed", label,
            paths.size(), archiveId, outcome.requests, outcome.failed);
    return ManyFilesError(LAPI_AT(function), (std::string(label) + " request").c_str(), paths, results);
}

}  // namespace

CKxError HSMRequestFiles(const std::vector<std::string>& paths, int action, unsigned int archiveId,
                         const std::string& data, std::vector<int>& results)
{
    return RequestFiles(__PRETTY_FUNCTION__, paths, action, archiveId, data, results, HSMProgress());
}

CKxError HSMRequestFiles(const std::vector<std::string>& paths, int action, unsigned int archiveId,
                         const std::string& data, std::vector<int>& results, const HSMProgress& progress)
{
    return RequestFiles(__PRETTY_FUNCTION__, paths, action, archiveId, data, results, progress);
}

}  // namespace LustreAPI
