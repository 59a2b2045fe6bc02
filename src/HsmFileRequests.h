// One HSM action for many whole files, sent in as few requests as Lustre
// accepts, with a result for each file. Behind LustreAPI::HSMRequestFiles
// (and, for its error, HSMStateGetFiles).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

#include "HBError.h"
#include "LustreAPI.h"
#include "LustreAbi.h"
#include "UniqueFd.h"

namespace LustreAPI {

// Opens path read-only to read its FID, as every HSM request does: without
// blocking (a FIFO or device must not hang the caller), never as the
// controlling terminal, and close-on-exec (a child the host starts meanwhile
// inherits nothing). A FIFO, socket or device is refused with -EINVAL: HSM
// moves file data, and Lustre's coordinator takes only files and
// directories. Returns 0 with fd (and *device, when asked) set, or a
// negative errno with fd left closed.
int OpenForFid(const char* path, common::UniqueFd& fd, dev_t* device = nullptr);

// The client refuses a request of MDS_MAXREQSIZE / 3 bytes (5120 / 3) or
// more with -E2BIG before anything is sent, for every action.
constexpr size_t kMaxHsmRequestBytes = 5120 / 3 - 1;

// How many whole-file items fit in one request that carries dataLength bytes
// of data: 52 without data. At least 1, so that a request whose data alone
// is too long still goes out and gets Lustre's own refusal for each file.
size_t ItemsPerRequest(size_t dataLength);

// The entry points a many-file request calls; all three bound.
struct HsmRequestEntries {
    llapi_hsm_user_request_alloc_t alloc;
    llapi_hsm_request_t request;
    llapi_fd2fid_t fd2fid;
};

struct HsmFilesOutcome {
    size_t requests = 0;  // llapi_hsm_request calls made
    size_t failed = 0;    // files whose result is negative
};

// Reads each path's FID through a read-only descriptor (closed at once),
// then submits action for the files in requests of up to
// ItemsPerRequest(data.size()) items, each request holding files of one
// device only (one Lustre mount) and the data after its items; a RELEASE
// goes one file per request. A request that fails is sent again one file per
// request, so that every file gets a result of its own. results gets one
// value per path: 0, or the negative errno of the file's open, FID read or
// request (-12 when a request could not be allocated). data.size() must fit
// in an int. Nothing outlives the call: every descriptor is closed and
// every request freed on every path. progress (when not empty) is called
// after each request as LustreAPI::HSMRequestFiles documents it.
HsmFilesOutcome SubmitFileRequests(const HsmRequestEntries& entries, const std::vector<std::string>& paths, int action,
                                   unsigned int archiveId, const std::string& data, std::vector<int>& results,
                                   const HSMProgress& progress);

// The error of an operation on many files from its results (0 or a negative
// errno per path): success when none failed; otherwise a failure made at
// where with the errno of the first failed file, reading
//   <what> failed for <n> of <total> files, first <path>: <strerror>
CKxError ManyFilesError(const HBCodeLocation& where, const char* what, const std::vector<std::string>& paths,
                        const std::vector<int>& results);

}  // namespace LustreAPI
