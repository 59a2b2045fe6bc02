// LustreAPI: HSM, file identifiers and changelog administration for Lustre
// file systems, for a data-management host process.
//
// Binding: the Lustre user library liblustreapi.so is loaded at run time by
// LoadFunctions(); operations that need it refuse with -22 and a "... is not
// loaded" message until its entry point is bound. The changelog operations
// and the FID text parsing need no binding.
//
// Threads: LoadFunctions() must finish before any other operation runs on
// another thread and must not run twice at once. Everything else keeps no
// state between calls and may run on several threads at once.
//
// Errors: int operations return Lustre's result (negative errno on failure)
// and a message; CKxError operations return an empty error on success and a
// failed one (negative code) otherwise. Nothing of the library's own throws.
#pragma once
#include <list>
#include <string>
#include <vector>

#include "HBError.h"
#include "LustreTypes.h"

#define LUSTREAPI_EXPORT __attribute__((visibility("default")))

namespace LustreAPI {

// ---- Binding --------------------------------------------------------------

// Loads liblustreapi.so and binds the fifteen entry points. Returns an empty
// error when the table is bound at the end of the call (by this call or an
// earlier one); otherwise the loader's error with one message pushed:
// "Load(liblustreapi.so) failed" or "GetAddres(<entry point>) failed". A
// failed attempt may be repeated; success is final.
LUSTREAPI_EXPORT CKxError LoadFunctions();

// ---- HSM copytool and copy-action pass-through ------------------------------
// Each forwards to the Lustre entry point of the same meaning and returns its
// result unchanged. When the entry point is not bound: -22, msg set to
// "<entry point> is not loaded", no other argument touched. msg is emptied on
// entry, except by HSMActionGetFD and HSMActionGetDFID, which leave it as it
// was when their entry point is bound.

LUSTREAPI_EXPORT int HSMRegister(hsm_copytool_private** priv, const char* mnt, int archiveCount,
                                 int* archives, int rfdFlags, std::string& msg);
LUSTREAPI_EXPORT int HSMUnregister(hsm_copytool_private** priv, std::string& msg);
LUSTREAPI_EXPORT int HSMRecv(hsm_copytool_private* priv, hsm_action_list** hal, int* msgSize, std::string& msg);
// isError is handed on as 0 or 1.
LUSTREAPI_EXPORT int HSMActionBegin(hsm_copyaction_private** phcp, const hsm_copytool_private* ct,
                                    const hsm_action_item* hai, int restoreMdtIndex, int restoreOpenFlags,
                                    bool isError, std::string& msg);
LUSTREAPI_EXPORT int HSMActionEnd(hsm_copyaction_private** phcp, const hsm_extent* he, int hpFlags, int errval,
                                  std::string& msg);
LUSTREAPI_EXPORT int HSMActionProgress(hsm_copyaction_private* hcp, const hsm_extent* he,
                                       unsigned long long total, int hpFlags, std::string& msg);
LUSTREAPI_EXPORT int HSMActionGetFD(hsm_copyaction_private* hcp, std::string& msg);
LUSTREAPI_EXPORT int HSMActionGetDFID(hsm_copyaction_private* hcp, lu_fid* fid, std::string& msg);

// ---- Identifier look-up pass-through ----------------------------------------

LUSTREAPI_EXPORT int SearchFsName(const char* pathname, char* fsname, std::string& msg);
LUSTREAPI_EXPORT int FID2Path(const char* device, const char* fidstr, char* path, int pathlen, long long* recno,
                              int* linkno, std::string& msg);
LUSTREAPI_EXPORT int GetMDTIndexByFid(int fd, const lu_fid* fid, int* mdtIndex, std::string& msg);

// ---- HSM user requests --------------------------------------------------------

// Submits a one-item request with the given action code for the whole of the
// file at path, with data (may be null) as the request's data. Returns
// llapi_hsm_request's result, or: -22 when an entry point is missing (msg
// names it), minus errno when path cannot be opened, -12 when the request
// cannot be allocated, llapi_fd2fid's negative result (msg
// "llapi_fd2fid(<fd>) failed"). msg is emptied on entry. The descriptor and
// the request never outlive the call.
LUSTREAPI_EXPORT int HSMRequest(const char* path, int action, const char* data, std::string& msg);
// HSMRequest with the action HUA_ARCHIVE (10).
LUSTREAPI_EXPORT int HSMArchive(const char* path, const char* data, std::string& msg);

// ---- File identifiers ---------------------------------------------------------

// A Lustre file identifier: the fields of lu_fid, in its order and widths.
class LUSTREAPI_EXPORT CLustreFID {
public:
    CLustreFID();
    CLustreFID(const CLustreFID& other);
    // Parses "[seq:oid:ver]" (brackets optional; each number decimal, octal
    // with a leading 0, or hexadecimal with 0x). Text of the wrong shape logs
    // "FID cannot be generated for <text>" and leaves all fields 0. A field
    // that starts with a hex letter throws std::invalid_argument; a value
    // beyond 64 bits throws std::out_of_range. oid and ver keep their low 32 bits.
    CLustreFID(std::string text);
    virtual ~CLustreFID();
    CLustreFID& operator=(const CLustreFID& other) = default;

    unsigned long long m_seq;
    unsigned int       m_oid;
    unsigned int       m_ver;
};

// The FID of path. Returns llapi_path2fid's result; -22 when not bound (fid
// untouched). On failure message = "Cannot convert Path to FID for <path>";
// message is not emptied on success.
LUSTREAPI_EXPORT int Path2FID(const std::string& path, lu_fid& fid, std::string& message);
// The FID of path into fid (untouched on failure; the error carries errno 2).
LUSTREAPI_EXPORT CKxError GetFIDFromPath(const std::string& path, CLustreFID& fid);
// The path of fid: mountPoint joined with the path Lustre gives below it.
// path is untouched on failure; linkNo and recNo are handed to Lustre by
// address and keep what it left in them.
LUSTREAPI_EXPORT CKxError GetPathFromFID(const std::string& mountPoint, CLustreFID& fid, std::string& path,
                                         int& linkNo, long long& recNo);

// ---- Commands and changelog dump ----------------------------------------------

// Runs a shell command line; appends its standard output, split at line
// ends, to lines. Fails (code from Win32 774) when the command fails, prints
// nothing, or yields no line.
LUSTREAPI_EXPORT CKxError RunCommand(const std::string& command, std::list<std::string>& lines);
// Runs "lfs changelog <mdt> <startRecord> <endRecord> > <outputFile>". The
// second parameter is not used.
LUSTREAPI_EXPORT CKxError GetChangelogs(const std::string& mdt, const std::string& unused,
                                        const std::string& startRecord, const std::string& endRecord,
                                        const std::string& outputFile);

// ---- MDT discovery ----------------------------------------------------------------

// The MDTs of fsName and their servers, from the local node's mdc devices.
// mdtServers is emptied on entry; mdtNames is appended to.
LUSTREAPI_EXPORT CKxError GetMDTList(const std::string& fsName, std::vector<std::string>& mdtNames,
                                     std::vector<std::string>& mdtServers);

// ---- Changelog users ----------------------------------------------------------------
// host: the metadata server reached with "ssh user@host"; mdt: the MDT's
// device name; fsName: the file system's name, for messages.

LUSTREAPI_EXPORT CKxError RegisterChangelog(const std::string& host, const std::string& mdt,
                                            const std::string& fsName, const std::string& user,
                                            std::string& changelogUser);
LUSTREAPI_EXPORT CKxError DeRegisterChangelog(const std::string& host, const std::string& mdt,
                                              const std::string& fsName, const std::string& user,
                                              std::string& changelogUser);

// ---- Changelog indexes --------------------------------------------------------------

LUSTREAPI_EXPORT CKxError GetChangelogCurrentIndex(const std::string& host, const std::string& mdt,
                                                   const std::string& fsName, const std::string& user,
                                                   std::string& currentIndex);
LUSTREAPI_EXPORT CKxError GetStartAndEndChangelogRecordNumbers(const std::string& host, const std::string& mdt,
                                                               const std::string& fsName, const std::string& user,
                                                               const std::string& changelogUser,
                                                               std::string& startRecord, std::string& endRecord);

}  // namespace LustreAPI
