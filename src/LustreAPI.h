// LustreAPI: HSM, file identifiers and changelog administration for Lustre
// file systems, for a data-management host process.
//
// Binding: the Lustre user library liblustreapi.so is loaded at run time by
// LoadFunctions(); operations that need it refuse with -22 and a "... is not
// loaded" message until its entry point is bound. The changelog operations
// and the FID text parsing need no binding.
//
// Threads: every operation may run on several threads at once.
// LoadFunctions() may be called from any thread, also again after a failure
// while other threads call the entry points bound already; attempts run one
// at a time. Nothing else keeps state between calls.
//
// Time limits: every operation that runs a command has an overload whose
// last parameter is a time limit (0: none; a negative limit is refused). When
// the limit passes, the command's process group and every process still
// holding its output or standard error (also one that left the group with
// setsid) are killed, the command is reaped, nothing it printed is taken as a
// result, and the operation fails (Win32 774) with a message that names the
// command and the limit, also logged at level 0: "Command <command> was
// ended: it did not finish within its time limit of <N> ms", or, when the
// command itself had ended but a process it started kept its output open,
// "Command <command> was ended: it had ended, but its output was still open
// when its time limit of <N> ms passed". A process that left the group and
// closed its output is not looked for. (The host's own process runner may
// end commands its own way.) Failure messages carry at most the first 64 KiB
// of a command's standard error. Remote commands run with a limit also tell ssh
// never to prompt and to give up on a server that does not answer within it
// ("ssh -o BatchMode=yes -o ConnectTimeout=<s> -o ServerAliveInterval=<s/3>
// -o ServerAliveCountMax=2 user@host '...'", whole seconds, at least 1).
// The overloads without a limit run their command lines exactly as
// documented and wait as long as it takes.
//
// Errors: int operations return Lustre's result (negative errno on failure)
// and a message; CKxError operations return an empty error on success and a
// failed one (negative code) otherwise; GetErrorKind tells what kind of
// failure a CKxError is. Nothing of the library's own throws.
//
// Lustre's types and names (lu_fid, hsm_action_list, hai_first, HSMA_*, ...)
// come from Lustre's own <lustre/lustreapi.h>, included here; a copytool may
// include that header before or after this one.
#pragma once
// Lustre's header defines a fallthrough macro, which would turn a host's
// C++17 [[fallthrough]] into an error; the host's own definition (or
// Lustre's, when the host included Lustre's header first) is what stays.
#pragma push_macro("fallthrough")
#include <lustre/lustreapi.h>
#pragma pop_macro("fallthrough")

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "HBError.h"

#define LUSTREAPI_EXPORT __attribute__((visibility("default")))

// Every operation and type of the library, family by family.
namespace LustreAPI {

// ---- Kinds of failure -------------------------------------------------------

// What a failed CKxError of this library says happened, for a program that
// acts differently on each; the codes stay those each operation documents
// (Win32 774 for all three of the library's own kinds).
enum class ErrorKind {
    None,       // not a failure
    Refused,    // an argument was refused before anything ran (a value that may
                // not go into a command line, a text that is not a FID, a
                // negative time limit, a reader name or mask Lustre cannot take)
    TimeLimit,  // a time limit or a wait passed: the command was ended, or no
                // record came within a reader's wait
    Failed,     // anything else: a command or Lustre call that failed, output
                // that cannot be read, the loader's failure
};

// The kind of error, whatever was pushed onto it later: it is the kind of
// the failure where the error was made. Errors of the host's own utilities
// and of Lustre (the errno failures of the path and FID conversions) are
// Failed. Reads no message text: the kind is told by the location the
// library made the error at, which the host's error object keeps as given.
LUSTREAPI_EXPORT ErrorKind GetErrorKind(const CKxError& error);

// ---- Binding --------------------------------------------------------------
// Once per process, before any operation that calls into Lustre: the HSM
// pass-through calls, the HSM requests and the path/FID conversions. The FID
// text conversions and the changelog operations need no binding.

// Loads liblustreapi.so and binds the fifteen entry points. When that name
// cannot be loaded (Lustre's runtime package installs only the versioned
// name), liblustreapi.so.1 is tried once before the attempt fails. Calls
// from several threads run one after the other. Returns an
// empty error when the table is bound at the end of the call (by this call or
// an earlier one; a bound table is never loaded again), and logs "Lustre
// library loaded" at level 0 when the writer's level allows. Otherwise returns
// the loader's error with one message pushed: "Load(liblustreapi.so) failed"
// (the first load's error) or "GetAddres(<entry point>) failed" for the first
// missing entry point; the entry points before it stay bound and usable, the
// others refuse. A failed attempt may be repeated; success is final.
LUSTREAPI_EXPORT CKxError LoadFunctions();
// After the fifteen, LoadFunctions also binds llapi_hsm_state_get,
// llapi_hsm_state_set and llapi_hsm_current_action, then llapi_changelog_start,
// _recv, _free, _fini, _get_fd, _set_xflags and _clear, when the library has
// them; a missing one stays unbound without failing the binding or changing
// what it returns or logs.

// The names of the entry points bound now ("llapi_hsm_copytool_register",
// ...), in table order: the fifteen, then the optional ones.
LUSTREAPI_EXPORT std::vector<std::string> GetBoundEntryPoints();

// ---- HSM copytool and copy-action pass-through ------------------------------
// Each forwards to the Lustre entry point of the same meaning and returns its
// result unchanged (0 or more on success, a negative errno on failure; msg
// says nothing about a Lustre failure). When the entry point is not bound:
// -22, msg set to "<entry point> is not loaded", no other argument touched.
// msg is emptied on entry, except by HSMActionGetFD and HSMActionGetDFID,
// which leave it as it was when their entry point is bound. The handles are
// Lustre's: only Lustre creates, reads and frees them.

// llapi_hsm_copytool_register: registers this process as a copytool on the
// mount point mnt for archiveCount archive ids (none, or an id 0: every
// archive); *priv receives the copytool handle. rfdFlags (for example
// O_NONBLOCK) apply to the receive descriptor.
LUSTREAPI_EXPORT int HSMRegister(hsm_copytool_private** priv, const char* mnt, int archiveCount, int* archives,
                                 int rfdFlags, std::string& msg);
// llapi_hsm_copytool_unregister: ends the copytool and releases *priv (a
// receive waiting on it returns -108, ESHUTDOWN).
LUSTREAPI_EXPORT int HSMUnregister(hsm_copytool_private** priv, std::string& msg);
// llapi_hsm_copytool_recv: the next action list. *hal points into Lustre's
// buffer (not to be freed; the next receive overwrites it), *msgSize holds
// its size. A non-blocking copytool gets -11 (EAGAIN) when nothing is queued.
LUSTREAPI_EXPORT int HSMRecv(hsm_copytool_private* priv, hsm_action_list** hal, int* msgSize, std::string& msg);
// llapi_hsm_action_begin: starts the copy of one item of the last received
// list; *phcp receives the copy-action handle, which HSMActionEnd releases.
// isError (handed on as 0 or 1) only prepares the handle, to report a failure.
LUSTREAPI_EXPORT int HSMActionBegin(hsm_copyaction_private** phcp, const hsm_copytool_private* ct,
                                    const hsm_action_item* hai, int restoreMdtIndex, int restoreOpenFlags, bool isError,
                                    std::string& msg);
// llapi_hsm_action_end: ends the copy with the extent done and errval (0, or
// the errno that stopped it); Lustre frees the handle and nulls *phcp.
LUSTREAPI_EXPORT int HSMActionEnd(hsm_copyaction_private** phcp, const hsm_extent* he, int hpFlags, int errval,
                                  std::string& msg);
// llapi_hsm_action_progress: reports the extent he copied, of total bytes.
LUSTREAPI_EXPORT int HSMActionProgress(hsm_copyaction_private* hcp, const hsm_extent* he, unsigned long long total,
                                       int hpFlags, std::string& msg);
// llapi_hsm_action_get_fd: a new descriptor of the action's data (the file
// to archive, or the file to restore into); the caller closes it.
LUSTREAPI_EXPORT int HSMActionGetFD(hsm_copyaction_private* hcp, std::string& msg);
// llapi_hsm_action_get_dfid: the FID of the action's data file, into *fid.
LUSTREAPI_EXPORT int HSMActionGetDFID(hsm_copyaction_private* hcp, lu_fid* fid, std::string& msg);

// ---- Identifier look-up pass-through ----------------------------------------
// As the HSM pass-through calls: each forwards to the Lustre entry point it
// names and returns its result unchanged; msg is emptied on entry, and when
// the entry point is not bound the result is -22 with msg set to
// "<entry point> is not loaded", no other argument touched.

// llapi_search_fsname: the name of the file system holding pathname, into
// fsname (at least 9 bytes); -19 (ENODEV) outside every Lustre mount.
LUSTREAPI_EXPORT int SearchFsName(const char* pathname, char* fsname, std::string& msg);
// llapi_fid2path: the path of the FID text fidstr (brackets optional) below
// device (a mount point or file-system name), relative to it ("dir/file";
// "/" for the root), into path of pathlen bytes; *recno and *linkno are read
// and updated. A path that does not fit fails (-75, EOVERFLOW, on most
// versions).
LUSTREAPI_EXPORT int FID2Path(const char* device, const char* fidstr, char* path, int pathlen, long long* recno,
                              int* linkno, std::string& msg);
// llapi_get_mdt_index_by_fid: the index of the MDT holding fid, asked through
// fd (any descriptor inside the file system), into *mdtIndex.
LUSTREAPI_EXPORT int GetMDTIndexByFid(int fd, const lu_fid* fid, int* mdtIndex, std::string& msg);

// ---- HSM state and current action (optional entry points) -------------------
// Pass-throughs as above: msg emptied on entry; -22 and "<entry point> is
// not loaded" when the Lustre library lacks the entry point. HSMStateGetFiles
// asks the state of many files at once, with a result for each.

// llapi_hsm_state_get: the HSM state of the regular file at path into
// *state (hus_states: HS_* bits; hus_archive_id). -2 for a missing path, -25
// (ENOTTY) for a directory or a file outside Lustre.
LUSTREAPI_EXPORT int HSMStateGet(const char* path, hsm_user_state* state, std::string& msg);
// llapi_hsm_state_set: sets the HS_* bits of setMask, clears those of
// clearMask and, when archiveId > 0, sets the archive id. Without root only
// HS_NORELEASE, HS_NOARCHIVE and HS_DIRTY (-1, EPERM); a state that would
// be inconsistent is -22.
LUSTREAPI_EXPORT int HSMStateSet(const char* path, unsigned long long setMask, unsigned long long clearMask,
                                 unsigned int archiveId, std::string& msg);
// llapi_hsm_current_action: the action queued or running on path into
// *action: hca_state HPS_WAITING or HPS_RUNNING (hca_location then holds the
// extent copied so far), hca_action an hsm_user_action; HUA_NONE when
// nothing is under way.
LUSTREAPI_EXPORT int HSMCurrentAction(const char* path, hsm_current_action* action, std::string& msg);

// The progress of an operation on many files (HSMRequestFiles,
// HSMStateGetFiles): called on the caller's thread, while the library holds
// no lock and no descriptor, with the number of files whose result is known
// by then (rising, never falling, to total at the last call) and the number
// of paths asked about. It may be empty (not called). An exception it throws
// ends the operation and reaches the caller, with every descriptor closed and
// every request freed, and the results unspecified.
using HSMProgress = std::function<void(std::size_t done, std::size_t total)>;

// The HSM state of each file in paths, with llapi_hsm_state_get (one call per
// file, as HSMStateGet makes it). states and results are replaced by one
// value per path, in order: the state (all zero for a file whose call
// failed) and 0 or that call's negative errno (-2 for a missing file, -25
// ENOTTY for a directory or a file outside Lustre). Returns success when
// every file succeeded (also for no paths); otherwise a failure with the
// errno of the first failing file, reading
//   "HSM state query failed for <n> of <total> files, first <path>: <strerror>"
// When llapi_hsm_state_get is not bound, nothing is asked and every result
// is -22, with the error "llapi_hsm_state_get is not loaded" (errno 22).
// progress, when given, is called after each file. Nothing is logged.
LUSTREAPI_EXPORT CKxError HSMStateGetFiles(const std::vector<std::string>& paths, std::vector<hsm_user_state>& states,
                                           std::vector<int>& results, const HSMProgress& progress = HSMProgress());

// ---- HSM user requests --------------------------------------------------------
// One-item requests for a whole file, built, submitted and freed by the
// library itself.

// Submits a one-item request with the given action code (hsm_user_action:
// 10 archive, 11 restore, 12 release, ...; stored unchanged) for the whole of
// the file at path, for archive 1, with the text data (may be null) after the
// item. Returns llapi_hsm_request's result, or: -22 when an entry point is
// missing (msg names it); minus errno when path cannot be opened and -12 when
// the request cannot be allocated (msg empty, a level -1 log line);
// llapi_fd2fid's negative result (msg "llapi_fd2fid(<fd>) failed", nothing
// submitted); a negative llapi_hsm_request result (msg
// "llapi_hsm_request(<path>, <archive|release>) failed"); -22 with msg
// "HSM request data too long (<n> bytes)" when data does not fit the
// request's 32-bit length, before anything is allocated. msg is emptied on
// entry. The request is logged at level 0 before it is submitted, when the
// writer's level allows. The descriptor and the request never outlive the
// call.
LUSTREAPI_EXPORT int HSMRequest(const char* path, int action, const char* data, std::string& msg);
// HSMRequest for the archive archiveId instead of archive 1 (0: the file's
// own archive or Lustre's default); the request, its log line and its
// failures are otherwise those above. The overload without an archive id is
// this one with archiveId 1.
LUSTREAPI_EXPORT int HSMRequest(const char* path, int action, unsigned int archiveId, const char* data,
                                std::string& msg);
// HSMRequest with the action HUA_ARCHIVE (10), for archive 1.
LUSTREAPI_EXPORT int HSMArchive(const char* path, const char* data, std::string& msg);
// HSMRequest with the action HUA_ARCHIVE (10), for the archive archiveId.
LUSTREAPI_EXPORT int HSMArchive(const char* path, unsigned int archiveId, const char* data, std::string& msg);

// One action (hsm_user_action) for the whole of each file in paths, for
// archive archiveId (0: the file's own archive or Lustre's default), with
// data after the items of every request. Each FID is read through a
// read-only descriptor as HSMRequest reads it; the files go out in as few
// llapi_hsm_request calls as fit below Lustre's request size limit (52 files
// without data), files of different mounts never in one request, and a
// RELEASE one file per request. A request Lustre refuses is sent again file
// by file, so that each file gets its own result; files it had queued
// already are not queued twice.
// results is replaced by one value per path, in order: 0, or the negative
// errno of that file's open, FID read or request. Returns success when every
// file succeeded (also for no paths: nothing is sent); otherwise a failure
// with the errno of the first failing file, reading
//   "<archive|restore|release|...> request failed for <n> of <total> files, first <path>: <strerror>"
// When an entry point is missing ("llapi_hsm_request is not loaded", ...) or
// data does not fit a 32-bit length, nothing is opened or sent and every
// result is -22. No descriptor or request outlives the call; nothing is
// kept between calls.
LUSTREAPI_EXPORT CKxError HSMRequestFiles(const std::vector<std::string>& paths, int action, unsigned int archiveId,
                                          const std::string& data, std::vector<int>& results);
// HSMRequestFiles with progress: progress is called once after each
// llapi_hsm_request call (a request sent again file by file is one call per
// file), the files whose open or FID read failed counted from the first call
// on; when every file failed before a request could be made, once with
// (total, total). Not called for no paths, nor when nothing is sent because
// an entry point is missing or data is too long.
LUSTREAPI_EXPORT CKxError HSMRequestFiles(const std::vector<std::string>& paths, int action, unsigned int archiveId,
                                          const std::string& data, std::vector<int>& results,
                                          const HSMProgress& progress);

// ---- File identifiers ---------------------------------------------------------
// A FID as a value with a text form, and the conversions between a path and
// its FID through Lustre.

// A Lustre file identifier: the fields of lu_fid, in its order and widths.
// Its text form is "[0x%llx:0x%x:0x%x]", for example [0x200000400:0x1c:0x0].
// A plain value: it owns nothing, and distinct objects may be used on
// different threads at once. FIDs compare field by field, in the order
// sequence, object id, version (==, !=, <, <=, >, >=), and
// std::hash<LustreAPI::CLustreFID> hashes them, so that they serve as keys of
// std::map, std::set and the unordered containers.
class LUSTREAPI_EXPORT CLustreFID {
public:
    // All fields 0.
    CLustreFID();
    // Copies the three fields.
    CLustreFID(const CLustreFID& other);
    // Parses "[seq:oid:ver]" (brackets optional; each number decimal, octal
    // with a leading 0, or hexadecimal with 0x). Text of the wrong shape logs
    // "FID cannot be generated for <text>" and leaves all fields 0. A field
    // that starts with a hex letter throws std::invalid_argument; a value
    // beyond 64 bits throws std::out_of_range. oid and ver keep their low 32
    // bits. Parse (below) refuses what is not a FID instead.
    CLustreFID(std::string text);
    // The three fields of Lustre's lu_fid. Taken by value, so that a FID
    // inside one of Lustre's packed records (hai_fid of an hsm_action_item)
    // may be passed as it is.
    CLustreFID(lu_fid fid);
    // Does nothing; virtual so that an object may be deleted through a pointer.
    virtual ~CLustreFID();
    // Copies the three fields.
    CLustreFID& operator=(const CLustreFID& other) = default;

    // The three fields as Lustre's lu_fid.
    lu_fid LuFid() const;
    // The text form, "[0x%llx:0x%x:0x%x]" of the three fields: the form
    // GetPathFromFID hands to Lustre. (Lustre's own tools print a zero
    // sequence as 0, [0:0x0:0x0]; Parse reads both.)
    std::string Text() const;
    // Reads text as Lustre's llapi_fid_parse reads a FID, the whole text:
    // leading blanks (space, tab, line end, form feed, vertical tab), an
    // optional '[' (Lustre skips any number of them), then sequence, object
    // id and version separated by ':', each a number of 0x-hexadecimal
    // digits (0X too), of octal digits after a leading 0, or of decimal
    // digits; then the ']' that closes a '[', and nothing after it. The
    // sequence is at most 0xfffffffffffffffe (Lustre refuses 2^64 - 1),
    // object id and version at most 0xffffffff. Where Lustre's reading is
    // looser than the form, the text is refused too: a field without digits
    // (which Lustre reads as 0), a sign or blank before a field's digits, a
    // '[' that is not closed. On success fid holds the three fields; on
    // failure fid is untouched and the error (Win32 774) reads
    //   "The text \"<text>\" is not a FID: <reason>"
    // with the text quoted as the command refusals quote values. Logs
    // nothing, throws nothing.
    static CKxError Parse(const std::string& text, CLustreFID& fid);

    unsigned long long m_seq;  // sequence number
    unsigned int m_oid;        // object id within the sequence
    unsigned int m_ver;        // version
};

inline bool operator==(const CLustreFID& a, const CLustreFID& b)
{
    return a.m_seq == b.m_seq && a.m_oid == b.m_oid && a.m_ver == b.m_ver;
}
inline bool operator!=(const CLustreFID& a, const CLustreFID& b) { return !(a == b); }
inline bool operator<(const CLustreFID& a, const CLustreFID& b)
{
    if (a.m_seq != b.m_seq) return a.m_seq < b.m_seq;
    if (a.m_oid != b.m_oid) return a.m_oid < b.m_oid;
    return a.m_ver < b.m_ver;
}
inline bool operator>(const CLustreFID& a, const CLustreFID& b) { return b < a; }
inline bool operator<=(const CLustreFID& a, const CLustreFID& b) { return !(b < a); }
inline bool operator>=(const CLustreFID& a, const CLustreFID& b) { return !(a < b); }

// The FID of path (a symbolic link's own FID). Returns llapi_path2fid's
// result: 0, or on failure a negative errno with message = "Cannot convert
// Path to FID for <path>" and fid = what Lustre left in its record (zeros when
// it wrote nothing). -22 with message "llapi_path2fid is not loaded" when not
// bound; fid untouched. message is not emptied: after a success it holds what
// the caller put in it.
LUSTREAPI_EXPORT int Path2FID(const std::string& path, lu_fid& fid, std::string& message);
// The FID of path into fid. On failure fid is untouched and the error
// (errno 2, whatever Lustre returned) carries Path2FID's message, followed,
// when Lustre was asked and gave a negative errno, by Lustre's reason:
//   "Cannot convert Path to FID for <path>: llapi_path2fid failed with Error <errno text> (<errno>)"
LUSTREAPI_EXPORT CKxError GetFIDFromPath(const std::string& path, CLustreFID& fid);
// The path of fid: the mount point of the file system joined with the path
// Lustre gives below it (at most 1023 bytes; a longer one fails). mountPoint
// may be the mount point, or a path inside the mount: Lustre asks the same
// file system then and still answers below its mount point, which is found
// from Lustre's own path of mountPoint (llapi_path2fid, llapi_fid2path). On
// failure (errno 2) the error reads "Cannot convert FID to Path for <FID
// text> due to <reason>", the reason empty for a Lustre failure and
// "llapi_fid2path is not loaded" when not bound; "Cannot convert FID to Path
// for <FID text>: <why>" when the mount point cannot be told: mountPoint does
// not begin with '/' (Lustre takes it for a file system's name, which names
// no directory), or Lustre has no path for it. path is untouched. linkNo and recNo are handed to Lustre by
// address (record number first) and keep what it left in them, on success and
// on failure. fid is only read.
LUSTREAPI_EXPORT CKxError GetPathFromFID(const std::string& mountPoint, CLustreFID& fid, std::string& path, int& linkNo,
                                         long long& recNo);
// Every path of fid, one per hard link in link-number order, each made as
// GetPathFromFID makes it (the mount point joined with Lustre's path below
// it). Lustre is asked link after link, from link 0, until it hands back a
// link number no larger than the one asked; at most kMaxPathsOfFID links
// are asked (ldiskfs allows 65000), a file with more failing rather than
// being listed in part. On success paths is replaced; on failure it is
// untouched and the error is GetPathFromFID's for the link that failed.
constexpr std::size_t kMaxPathsOfFID = 65536;
LUSTREAPI_EXPORT CKxError GetPathsFromFID(const std::string& mountPoint, const CLustreFID& fid,
                                          std::vector<std::string>& paths);

// ---- Commands and changelog dump ----------------------------------------------
//
// Every changelog operation but RunCommand checks the values it puts into its
// command line first: a value must not be empty (record numbers may be), must
// not begin with '-', and may hold only letters, digits and . _ - : / + , = % @
// (host and user: without / and @). A refused value runs nothing, leaves
// every output untouched and gives a failure (Win32 774) such as
//
//     The host "mds1;reboot" is refused: it holds the character ';'
//
// A failed command gives RunCommand's error unchanged, after the operation's
// level-0 log lines. Errors carry the file name "LustreAPI" and, like the log
// lines, the operation's function text.

// Runs a shell command line as it is; appends its standard output, split at
// line ends (a final line end leaves an empty last piece), to lines. Fails
// (code from Win32 774, "Command <command> failed with Error <its standard
// error>", also logged at level 0) when the command exits with a status
// other than 0 or prints nothing on its standard output; lines is then as
// passed.
LUSTREAPI_EXPORT CKxError RunCommand(const std::string& command, std::list<std::string>& lines);
LUSTREAPI_EXPORT CKxError RunCommand(const std::string& command, std::list<std::string>& lines,
                                     std::chrono::milliseconds timeLimit);
// Runs "lfs changelog <mdt> <startRecord> <endRecord> > <outputFile>" on the
// local node; the shell creates or empties outputFile first. The second
// parameter is not used. Both record numbers may be empty (the whole
// changelog); an empty start before an end is refused, and so is a record
// number that is not decimal digits (lfs would read "0x10" as 0, the whole
// changelog), with ClearChangelog's message. Fails when lfs fails or prints
// anything on its standard output.
LUSTREAPI_EXPORT CKxError GetChangelogs(const std::string& mdt, const std::string& unused,
                                        const std::string& startRecord, const std::string& endRecord,
                                        const std::string& outputFile);
LUSTREAPI_EXPORT CKxError GetChangelogs(const std::string& mdt, const std::string& unused,
                                        const std::string& startRecord, const std::string& endRecord,
                                        const std::string& outputFile, std::chrono::milliseconds timeLimit);

// ---- MDT discovery ----------------------------------------------------------------
// The MDTs of a file system and the servers that serve them, as this node
// (a Lustre client) sees them.

// The MDTs of fsName and their servers, from the local node's mdc devices
// ("lctl get_param 'mdc.<fsName>*.mds_conn_uuid'": the pattern is quoted so
// that it reaches lctl as written, whatever the working directory holds). mdtServers is emptied on
// entry (not when fsName is refused); mdtNames is appended to. Each MDT of
// fsName itself is listed once ("<fsName>-MDT0000", server "192.168.0.1" of
// "192.168.0.1@tcp"), also when the file system is mounted twice; devices of
// other file systems and lines of other shapes add nothing.
LUSTREAPI_EXPORT CKxError GetMDTList(const std::string& fsName, std::vector<std::string>& mdtNames,
                                     std::vector<std::string>& mdtServers);
LUSTREAPI_EXPORT CKxError GetMDTList(const std::string& fsName, std::vector<std::string>& mdtNames,
                                     std::vector<std::string>& mdtServers, std::chrono::milliseconds timeLimit);

// ---- Changelog users ----------------------------------------------------------------
// host: the metadata server reached with "ssh user@host" (key-based login);
// mdt: the MDT's device name; fsName: the file system's name, for messages.

// Registers a changelog user with "lctl --device <mdt> changelog_register" on
// host; on success changelogUser holds its identifier ("cl1", "cl2-name").
// A reply of another device, of other words or of no line at all fails, and
// changelogUser keeps what it held (or an earlier line's identifier).
LUSTREAPI_EXPORT CKxError RegisterChangelog(const std::string& host, const std::string& mdt, const std::string& fsName,
                                            const std::string& user, std::string& changelogUser);
LUSTREAPI_EXPORT CKxError RegisterChangelog(const std::string& host, const std::string& mdt, const std::string& fsName,
                                            const std::string& user, std::string& changelogUser,
                                            std::chrono::milliseconds timeLimit);
// Registers a changelog reader with a name and a mask, as Lustre 2.15 and
// later do: "lctl --device <mdt> changelog_register -u <readerName> -m
// <mask>", each option only when its value is not empty (both empty: the
// registration above, command line and all). On success changelogUser
// holds the identifier as lctl prints it, "cl2-<readerName>" ("cl2" without
// a name). readerName: a letter, then letters, digits, '_' and '-', at most
// 15 characters (Lustre keeps no more). mask: record type names (any case),
// ALL, DEFAULT or NONE, separated by ',', with '+' or '-' before a name for
// a mask relative to Lustre's default ("-creat,unlnk"); no blanks; what the
// names mean is the MDT's version's (lustre-tools: a mask without operator
// always keeps MARK). Either refused before anything runs (ErrorKind::Refused).
// With a name or a mask the server's lctl is first asked its version
// ("ssh user@host 'lctl --version'"; the time limit bounds each of the two
// commands): before 2.15 the registration is refused, nothing registered
// (ErrorKind::Refused, "... are refused: Lustre 2.12 on host <host>
// registers changelog readers without names or masks (they came with
// 2.15)"). The MDT's own refusals ("User exists" for a name already
// registered) fail as lctl's failure does; the MDT uses up a reader number
// on them.
LUSTREAPI_EXPORT CKxError RegisterChangelog(const std::string& host, const std::string& mdt, const std::string& fsName,
                                            const std::string& user, const std::string& readerName,
                                            const std::string& mask, std::string& changelogUser);
LUSTREAPI_EXPORT CKxError RegisterChangelog(const std::string& host, const std::string& mdt, const std::string& fsName,
                                            const std::string& user, const std::string& readerName,
                                            const std::string& mask, std::string& changelogUser,
                                            std::chrono::milliseconds timeLimit);
// Removes the changelog user changelogUser (only read). The reply of every
// Lustre version is accepted: "<mdt>: Deregistered changelog user '<id>'" and,
// from 2.15, "... user #<N>" for "clN" and "clN-name". A reply without a
// non-blank line confirms nothing and fails ("Cannot de-register the
// changelog user <id>. It returned an empty reply").
LUSTREAPI_EXPORT CKxError DeRegisterChangelog(const std::string& host, const std::string& mdt,
                                              const std::string& fsName, const std::string& user,
                                              std::string& changelogUser);
LUSTREAPI_EXPORT CKxError DeRegisterChangelog(const std::string& host, const std::string& mdt,
                                              const std::string& fsName, const std::string& user,
                                              std::string& changelogUser, std::chrono::milliseconds timeLimit);

// ---- Changelog indexes --------------------------------------------------------------
// Both read "lctl get_param mdd.<mdt>.changelog_users" on host, in the format
// of every Lustre version ("current index: N" up to 2.14, "current_index: N"
// from 2.15, on the name line or a line of its own). Values are returned as
// the listing shows them, never converted.

// The first current-index line's value. currentIndex is assigned only on
// success.
LUSTREAPI_EXPORT CKxError GetChangelogCurrentIndex(const std::string& host, const std::string& mdt,
                                                   const std::string& fsName, const std::string& user,
                                                   std::string& currentIndex);
LUSTREAPI_EXPORT CKxError GetChangelogCurrentIndex(const std::string& host, const std::string& mdt,
                                                   const std::string& fsName, const std::string& user,
                                                   std::string& currentIndex, std::chrono::milliseconds timeLimit);
// startRecord: the record number of the reader changelogUser (its line begins
// with the identifier as a whole word; "12" of "cl1   12 (37)"); endRecord:
// the last current-index line's value. Each is assigned only when a line gives
// it, also on some failures; fails when the reader is not listed.
LUSTREAPI_EXPORT CKxError GetStartAndEndChangelogRecordNumbers(const std::string& host, const std::string& mdt,
                                                               const std::string& fsName, const std::string& user,
                                                               const std::string& changelogUser,
                                                               std::string& startRecord, std::string& endRecord);
LUSTREAPI_EXPORT CKxError GetStartAndEndChangelogRecordNumbers(const std::string& host, const std::string& mdt,
                                                               const std::string& fsName, const std::string& user,
                                                               const std::string& changelogUser,
                                                               std::string& startRecord, std::string& endRecord,
                                                               std::chrono::milliseconds timeLimit);

// ---- Changelog consumers ------------------------------------------------------------
// A host that keeps a changelog reader registered reads its records, acts on
// them and acknowledges them with ClearChangelog: the metadata server keeps
// every record that some reader has not acknowledged.

// One changelog record as "lfs changelog" prints it, in the format of any
// Lustre version. A plain value; fields a record does not carry are zero,
// empty, or -1 for m_uid and m_gid.
struct LUSTREAPI_EXPORT CChangelogRecord {
    unsigned long long m_index = 0;       // the record's number in the MDT's changelog
    int m_type = 0;                       // the record type's number: 0 MARK, 1 CREAT, 8 RENME, ...
    std::string m_typeName;               // "MARK", "CREAT", "RENME", ...
    long long m_seconds = 0;              // the record's time, UTC, seconds since 1970-01-01
    unsigned int m_nanoseconds = 0;       // and nanoseconds within that second
    unsigned int m_flags = 0;             // the record's flags (0x1 on the last unlink of a file)
    CLustreFID m_target;                  // t=: the file the record is about
    std::string m_jobId;                  // j=: the job that made the change
    unsigned long long m_extraFlags = 0;  // ef=: which extra fields the record carries (2.11 on)
    long long m_uid = -1;                 // u=uid:gid (2.11 on)
    long long m_gid = -1;
    std::string m_nid;          // nid=: the client's network address (2.11 on)
    std::string m_openMode;     // m=: the open mode of OPEN records
    std::string m_xattr;        // x=: the extended attribute's name of XATTR records
    CLustreFID m_parent;        // p=: the directory holding m_name
    std::string m_name;         // the file's name in m_parent; may hold blanks
    CLustreFID m_source;        // renames, s=: the file renamed
    CLustreFID m_sourceParent;  // renames, sp=: the directory it left
    std::string m_sourceName;   // renames: its name there
};

// Reads one line of "lfs changelog" output (without its line end), for
// example (one line, wrapped here)
//
//     3 01CREAT 04:27:54.551053189 2024.08.20 0x0 t=[0x2000013a1:0x4:0x0] j=cp.0 ef=0xf
//       u=0:0 nid=0@lo p=[0x2000013a1:0x3:0x0] file with spaces
//
// The name runs to the end of the line. Of a rename (RENME), the name and the
// source's name are told apart at the first " s=<FID> sp=<FID>" that follows
// the parent. A job id (at most 31 bytes, chosen by the user: blanks and even
// " ef=0x" may be part of it) ends at the first " ef=0x" (" p=[" before 2.11)
// after which the line reads as lfs prints it, ef= announcing u= and nid=;
// failing that, at the first after which it reads at all. An xattr name
// (printed only on records without a name) runs to the end or to a final
// " p=<FID>". A line that is not a record fails (Win32 774) with a message
// quoting it; record is assigned only on success. Logs nothing.
LUSTREAPI_EXPORT CKxError ParseChangelogRecord(const std::string& line, CChangelogRecord& record);

// Appends the records of mdt from startRecord to endRecord, in order, to
// records: read in-process through a CChangelogReader when Lustre's changelog
// calls are bound (LoadFunctions), otherwise with "lfs changelog <mdt>
// <startRecord> <endRecord>" on the local node, its output read as a
// CChangelogReader reads it (there: what the text path can tell apart), lfs
// asked again for a record alone where its text cannot tell where the
// record ends ("lfs changelog <mdt> <N> <N>"). The arguments follow
// GetChangelogs' rules. A time limit bounds the whole reading, both ways. In
// process, a failure of Lustre's calls fails with the reader's message
// (below), and a reading that does not end within the limit with "Reading
// the changelog of MDT <mdt> in-process did not finish within its time limit
// of <N> ms", each also logged at level 0. An empty range (no record between
// the two numbers, lfs prints nothing) succeeds and appends nothing. Fails
// when lfs fails ("Command ... failed with Error <its message>", also logged
// at level 0), or when its output holds what is not a record, a record that
// does not follow the one before it, or one outside the range asked for;
// records is then untouched.
//
// A following CChangelogReader cannot tell a quiet changelog from a
// metadata server that does not answer: ReadChangelogs of the next record
// with a time limit asks the server, and fails when it does not answer.
LUSTREAPI_EXPORT CKxError ReadChangelogs(const std::string& mdt, const std::string& startRecord,
                                         const std::string& endRecord, std::vector<CChangelogRecord>& records);
LUSTREAPI_EXPORT CKxError ReadChangelogs(const std::string& mdt, const std::string& startRecord,
                                         const std::string& endRecord, std::vector<CChangelogRecord>& records,
                                         std::chrono::milliseconds timeLimit);

// Acknowledges the records of the changelog reader changelogUser on mdt up to
// and including endRecord ("0": every record there is now), with
// llapi_changelog_clear when it is bound (LoadFunctions), otherwise with
// "lfs changelog_clear <mdt> <changelogUser> <endRecord>" on the local node.
// The server then drops the records that no reader still needs. endRecord
// must be decimal digits, at most 9223372036854775807 (lfs would read any
// other text as 0 and acknowledge everything); anything else is refused
// before anything runs.
// Succeeds when lfs exits with status 0; otherwise fails with lfs's message
// ("Command ... failed with Error ...", also logged at level 0): for example
// a reader that is not registered, a number beyond the changelog's current
// index, or one below the reader's index. In-process the same cases fail,
// with "llapi_changelog_clear(<mdt>, <changelogUser>, <endRecord>) failed
// with Error <errno text> (<errno>)", also logged at level 0 (Lustre's own
// message goes to standard error, as lfs's would); the time limit is not used.
LUSTREAPI_EXPORT CKxError ClearChangelog(const std::string& mdt, const std::string& changelogUser,
                                         const std::string& endRecord);
LUSTREAPI_EXPORT CKxError ClearChangelog(const std::string& mdt, const std::string& changelogUser,
                                         const std::string& endRecord, std::chrono::milliseconds timeLimit);

// One changelog reader of an MDT, from its changelog_users listing.
struct LUSTREAPI_EXPORT CChangelogUser {
    std::string m_id;                // "cl1", "cl2-watcher"
    unsigned long long m_index = 0;  // the last record it acknowledged
    long long m_idleSeconds = -1;    // seconds since it last acknowledged; -1 before Lustre 2.11
    std::string m_mask;              // "MARK,CREAT,..." of readers registered with a name or a
                                     // mask (2.15 on); empty otherwise
    std::string m_name;              // "watcher" of "cl2-watcher"; empty for a reader without a name
};

// Lists the changelog readers of mdt with the same remote command as the
// index operations. On success currentIndex holds the changelog's current
// index and users every reader in the listing's order (its former content is
// replaced; an MDT without readers gives none). Fails, with both outputs
// untouched, when the command fails (after two level-0 log lines, as the
// index operations write them) or when the listing cannot be read: a line of
// no known shape, or no current-index line. A reader that is missing from a
// listing that was read is thus told apart from a listing that was not.
LUSTREAPI_EXPORT CKxError GetChangelogUsers(const std::string& host, const std::string& mdt, const std::string& fsName,
                                            const std::string& user, unsigned long long& currentIndex,
                                            std::vector<CChangelogUser>& users);
LUSTREAPI_EXPORT CKxError GetChangelogUsers(const std::string& host, const std::string& mdt, const std::string& fsName,
                                            const std::string& user, unsigned long long& currentIndex,
                                            std::vector<CChangelogUser>& users, std::chrono::milliseconds timeLimit);

// ---- Changelog reader ----------------------------------------------------------------
// Follows an MDT's changelog record by record, as a policy engine or an
// indexer does. In-process through Lustre's changelog calls when
// LoadFunctions has bound llapi_changelog_start, _recv, _free, _fini, _get_fd
// and _set_xflags (asking for job ids and every extra field); otherwise it
// runs "lfs changelog [--follow] <mdt> <startRecord>" on the local node and
// reads its output as it comes. Either way memory does not grow with the
// changelog's length, and a record is the CChangelogRecord that
// ParseChangelogRecord makes of the text lfs prints for it. In-process the
// records carry lengths: job ids and names need no guessing, and a NID's
// text is made as Lustre's libcfs_nid2str makes it ("10.0.0.1@tcp",
// "0@lo", "a@<17:0>" for a network type Lustre does not name, "<?>" for
// LNET_NID_ANY; the types of Lustre 2.17).
//
// What the text path can and cannot tell apart: lfs prints names, job ids
// and xattr names as they are, so one holding a line break continues its
// record on the next line, where the text may read as a record of its own.
// The reader hands out a record only once what follows proves where it
// ends: from Lustre 2.12.3 on an MDT numbers its records in rising order
// without gaps, so a record ends at the one line within its reach (the 1280
// bytes lfs prints at most for a record) that begins as the next record;
// where two lines do, or none (a record lost to a failed write on the MDT),
// or where a following reader's output stops before that reach, lfs is asked
// again without following ("lfs changelog <mdt> <N> [<N>]"), and its end
// tells. A record is never handed out as two, nor one skipped: what none of
// this can tell fails Next, naming the record. It cannot tell apart a name
// that holds text reading as the next record from a record lost right after
// it on the MDT, and records of MDTs older than 2.12.3 that two writers
// stored out of order fail Next.
//
// Waits: Next returns within its wait (and a little more), whatever lfs or
// the processes it started do with their output; Close from another thread
// makes a waiting Next return at once; the processes a reader started end
// when the host process ends, however it ends. A following reader cannot
// tell a quiet changelog from a metadata server that does not answer; ask
// the server with a time limit (ReadChangelogs above) to know.
//
// Threads: one thread calls Open, Next and Descriptor; Close may also come
// from another thread while Next waits, which then returns at once (failed:
// the reader is closed). Moving or destroying a reader that another thread
// uses is not allowed.

// A reader of one MDT's changelog: Open it, take records with Next until it
// has ended, Close it (or let it go).
class LUSTREAPI_EXPORT CChangelogReader {
public:
    CChangelogReader();
    ~CChangelogReader();  // closes the reader
    CChangelogReader(CChangelogReader&& other) noexcept;
    CChangelogReader& operator=(CChangelogReader&& other) noexcept;  // closes this one first
    CChangelogReader(const CChangelogReader&) = delete;
    CChangelogReader& operator=(const CChangelogReader&) = delete;

    // Starts reading mdt at startRecord (0: the first record kept). With
    // follow the reader waits for new records after the last one instead of
    // ending. mdt must be a plain word (refused otherwise, before anything
    // runs); an open reader is closed first. In-process an MDT this node
    // cannot read fails here ("Cannot read the changelog of MDT <mdt>:
    // llapi_changelog_start failed with Error <errno text> (<errno>)");
    // through lfs, lfs's failure comes from the first Next.
    CKxError Open(const std::string& mdt, unsigned long long startRecord, bool follow);
    // Open at the first record the changelog reader changelogUser of mdt
    // has not acknowledged: the record after its index in the MDT's
    // changelog_users listing on host (GetChangelogUsers; the time limit
    // bounds that command), where a consumer restarting after a crash goes
    // on. The identifier is matched whole ("cl2-watcher"). Fails as
    // GetChangelogUsers fails, with "Cannot find the changelog reader <id>
    // in the MDT <mdt> for Lustre FS <fsName>" when the listing has no such
    // reader, and otherwise as Open fails; the reader is then closed.
    CKxError OpenAtReader(const std::string& host, const std::string& mdt, const std::string& fsName,
                          const std::string& user, const std::string& changelogUser, bool follow);
    CKxError OpenAtReader(const std::string& host, const std::string& mdt, const std::string& fsName,
                          const std::string& user, const std::string& changelogUser, bool follow,
                          std::chrono::milliseconds timeLimit);
    // The next record. got is false, with record untouched, when the reader
    // has ended (without follow: after the last record), or when no record
    // came within wait (with follow; 0: do not wait; any wait is clamped, a
    // negative one is 0). Without follow Next waits for the next record or
    // the end at most wait (0: however long it takes), and fails when it
    // passes first ("Reading the changelog of MDT <mdt>: no record came
    // within the wait of <N> ms"): that failure is this Next's alone, and
    // the next Next goes on reading. Fails when the reader is not open or was
    // closed, when Lustre's call fails, or when lfs fails ("Command ...
    // failed with Error <its message>", logged at level 0; also when it
    // failed without a message), or prints what is not a record following
    // the last, or what the reader cannot tell apart (above). After any other
    // failure the reader only fails until it is opened again.
    CKxError Next(CChangelogRecord& record, std::chrono::milliseconds wait, bool& got);
    // A descriptor that becomes readable when Next may have a record (or
    // work to do towards one), for a host's poll loop; -1 when the reader is
    // not open. Records may already wait in the reader's buffer: call Next
    // with a wait of 0 until got is false before polling again. Owned by the
    // reader.
    int Descriptor() const;
    // Ends the reading: Lustre's reader is closed, or the process groups of
    // lfs (and of a question asked of it) and every process still holding
    // their output are killed, and lfs reaped. Closing a closed reader does
    // nothing.
    CKxError Close();
    // Whether the open reader uses Lustre's changelog calls.
    bool InProcess() const;

private:
    struct State;
    State* m_state;
};

}  // namespace LustreAPI

// The hash of a FID, for the unordered containers. The object id goes into
// the low bits unchanged, so that the FIDs of one sequence, which differ
// there, fall into distinct buckets of tables of any size; the sequence is
// spread over all bits by a multiplication (by 2^64 divided by the golden
// ratio); the version, almost always 0, goes into the high bits.
namespace std {
template <>
struct hash<LustreAPI::CLustreFID> {
    size_t operator()(const LustreAPI::CLustreFID& fid) const noexcept
    {
        const unsigned long long spread = fid.m_seq * 0x9E3779B97F4A7C15ULL;
        return static_cast<size_t>(spread ^ fid.m_oid ^ (static_cast<unsigned long long>(fid.m_ver) << 32));
    }
};
}  // namespace std
