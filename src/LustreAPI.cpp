// The exported operations of LustreAPI.
#include "LustreAPI.h"

#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <set>
#include <tuple>
#include <type_traits>

#include "ArgumentChecks.h"
#include "ChangelogListing.h"
#include "ChangelogRecord.h"
#include "Diagnostics.h"
#include "HsmFileRequests.h"
#include "KxUtils.h"
#include "LustreAbi.h"
#include "ResourceOwners.h"
#include "ZqLib.h"

namespace LustreAPI {

// ==== Binding, pass-through, HSM requests, file identifiers ====

// ---- Entry-point table ------------------------------------------------------

// The bound entry points of liblustreapi, one slot per entry point, in
// binding order. Zero-initialised static storage: every slot is null until
// LoadFunctions stores into it. Written only by LoadFunctions; the guarded
// operations read their slot afresh at each call.
struct FunctionTable {
    llapi_hsm_copytool_register_t hsm_copytool_register;
    llapi_hsm_copytool_unregister_t hsm_copytool_unregister;
    llapi_hsm_copytool_recv_t hsm_copytool_recv;
    llapi_hsm_action_begin_t hsm_action_begin;
    llapi_hsm_action_end_t hsm_action_end;
    llapi_hsm_action_progress_t hsm_action_progress;
    llapi_hsm_action_get_fd_t hsm_action_get_fd;
    llapi_hsm_action_get_dfid_t hsm_action_get_dfid;
    llapi_hsm_user_request_alloc_t hsm_user_request_alloc;
    llapi_hsm_request_t hsm_request;
    llapi_search_fsname_t search_fsname;
    llapi_fid2path_t fid2path;
    llapi_path2fid_t path2fid;
    llapi_get_mdt_index_by_fid_t get_mdt_index_by_fid;
    llapi_fd2fid_t fd2fid;
    // Bound when the library has them; binding succeeds without them.
    llapi_hsm_state_get_t hsm_state_get;
    llapi_hsm_state_set_t hsm_state_set;
    llapi_hsm_current_action_t hsm_current_action;
};

static FunctionTable func_table;
// True once one binding attempt has stored all fifteen slots; never cleared.
static bool g_bLibraryLoaded;

namespace {

// One entry point: its name, the slot it is stored into and, when the
// message on a missing symbol spells the name otherwise, that spelling
// (slot 0's is misspelt: hosts match these texts as they are).
template <typename Entry>
struct SlotBinding {
    const char* symbol;
    Entry FunctionTable::*slot;
    const char* spelledInMessage;
};

template <typename Entry>
constexpr SlotBinding<Entry> Bind(const char* symbol, Entry FunctionTable::*slot,
                                  const char* spelledInMessage = nullptr)
{
    return {symbol, slot, spelledInMessage};
}

// In binding order. A tuple, since every slot has a type of its own.
constexpr auto kSlotBindings = std::make_tuple(
    Bind("llapi_hsm_copytool_register", &FunctionTable::hsm_copytool_register, "llapi_hsm_copytool_resgister"),
    Bind("llapi_hsm_copytool_unregister", &FunctionTable::hsm_copytool_unregister),
    Bind("llapi_hsm_copytool_recv", &FunctionTable::hsm_copytool_recv),
    Bind("llapi_hsm_action_begin", &FunctionTable::hsm_action_begin),
    Bind("llapi_hsm_action_end", &FunctionTable::hsm_action_end),
    Bind("llapi_hsm_action_progress", &FunctionTable::hsm_action_progress),
    Bind("llapi_hsm_action_get_fd", &FunctionTable::hsm_action_get_fd),
    Bind("llapi_hsm_action_get_dfid", &FunctionTable::hsm_action_get_dfid),
    Bind("llapi_hsm_user_request_alloc", &FunctionTable::hsm_user_request_alloc),
    Bind("llapi_hsm_request", &FunctionTable::hsm_request), Bind("llapi_search_fsname", &FunctionTable::search_fsname),
    Bind("llapi_fid2path", &FunctionTable::fid2path), Bind("llapi_path2fid", &FunctionTable::path2fid),
    Bind("llapi_get_mdt_index_by_fid", &FunctionTable::get_mdt_index_by_fid),
    Bind("llapi_fd2fid", &FunctionTable::fd2fid));
static_assert(std::tuple_size_v<decltype(kSlotBindings)> == 15, "one binding per slot");

// Looked up after the fifteen; a missing one stays unbound (null) and
// binding goes on, so a Lustre too old to have it still binds.
constexpr auto kOptionalBindings =
    std::make_tuple(Bind("llapi_hsm_state_get", &FunctionTable::hsm_state_get),
                    Bind("llapi_hsm_state_set", &FunctionTable::hsm_state_set),
                    Bind("llapi_hsm_current_action", &FunctionTable::hsm_current_action));
static_assert(sizeof(FunctionTable) == (std::tuple_size_v<decltype(kSlotBindings)> +
                                        std::tuple_size_v<decltype(kOptionalBindings)>)*sizeof(void*),
              "one binding per slot of the table");

template <auto Slot, typename Entry>
constexpr bool IsBindingOf(const SlotBinding<Entry>& binding)
{
    if constexpr (std::is_same_v<decltype(Slot), Entry FunctionTable::*>)
        return binding.slot == Slot;
    else
        return false;
}

// The entry-point name of a slot, found in the binding table when compiling.
template <auto Slot>
constexpr const char* SymbolOf()
{
    const char* symbol = nullptr;
    std::apply(
        [&symbol](const auto&... binding) { ((symbol = IsBindingOf<Slot>(binding) ? binding.symbol : symbol), ...); },
        std::tuple_cat(kSlotBindings, kOptionalBindings));
    return symbol;
}

// Looks the binding's symbol up and stores its address. On a failure, error
// holds the loader's and spelled the name for the message.
template <typename Entry>
bool BindSlot(CKxLibrary& library, const SlotBinding<Entry>& binding, CKxError& error, const char*& spelled)
{
    void* address = nullptr;
    error = library.GetAddress(binding.symbol, address);
    if (error.GetCode() < 0) {
        spelled = binding.spelledInMessage ? binding.spelledInMessage : binding.symbol;
        return false;
    }
    func_table.*binding.slot = reinterpret_cast<Entry>(address);
    return true;
}

// The guard in front of every call into liblustreapi: the slot's entry point
// as read now, or null with "<entry point> is not loaded" assigned to msg.
template <auto Slot>
auto BoundEntry(std::string& msg)
{
    constexpr const char* symbol = SymbolOf<Slot>();
    static_assert(symbol != nullptr, "the slot is bound from kSlotBindings");
    const auto entry = func_table.*Slot;
    if (!entry) msg = std::string(symbol) + " is not loaded";
    return entry;
}

// -EINVAL when the slot is null, otherwise the entry point's result for the
// arguments as given. msg is written only when the slot is null.
template <auto Slot, typename... Args>
int Forward(std::string& msg, Args... args)
{
    const auto entry = BoundEntry<Slot>(msg);
    return entry ? entry(args...) : -EINVAL;
}

// Forward with msg emptied first, as every pass-through but two does.
template <auto Slot, typename... Args>
int PassThrough(std::string& msg, Args... args)
{
    msg.clear();
    return Forward<Slot>(msg, args...);
}

}  // namespace

// ---- Binding ------------------------------------------------------------------

CKxError LoadFunctions()
{
    if (g_bLibraryLoaded) return CKxError();

    // A loader that succeeded leaves the library loaded for the life of the
    // process; the table's addresses rely on that.
    CKxLibrary library(false);
    CKxError error = library.Load("liblustreapi.so", false);
    // Lustre's runtime package installs only the versioned name; the plain
    // one comes with the development package. A failed Load leaves the
    // loader free for the second name, and the caller still sees the plain
    // name's failure when neither loads.
    if (error.GetCode() < 0 && library.Load("liblustreapi.so.1", false).GetCode() < 0) {
        error.Push(LAPI_LOCATION, "Load(liblustreapi.so) failed");
        return error;
    }

    // Slot by slot in table order, up to the first missing symbol.
    const char* spelled = nullptr;
    const bool bound = std::apply(
        [&](const auto&... binding) { return (BindSlot(library, binding, error, spelled) && ...); }, kSlotBindings);
    if (!bound) {
        error.Push(LAPI_LOCATION, "GetAddres(%s) failed", spelled);
        return error;
    }

    std::apply(
        [&](const auto&... binding) {
            // A missing optional symbol leaves its slot null; its error is dropped.
            CKxError ignored;
            ((BindSlot(library, binding, ignored, spelled) || (func_table.*binding.slot = nullptr, true)), ...);
        },
        kOptionalBindings);

    g_bLibraryLoaded = true;
    LogLine(LAPI_LOCATION, "Lustre library loaded");
    return CKxError();
}

// ---- Pass-through ---------------------------------------------------------------

int HSMRegister(hsm_copytool_private** priv, const char* mnt, int archiveCount, int* archives, int rfdFlags,
                std::string& msg)
{
    return PassThrough<&FunctionTable::hsm_copytool_register>(msg, priv, mnt, archiveCount, archives, rfdFlags);
}

int HSMUnregister(hsm_copytool_private** priv, std::string& msg)
{
    return PassThrough<&FunctionTable::hsm_copytool_unregister>(msg, priv);
}

int HSMRecv(hsm_copytool_private* priv, hsm_action_list** hal, int* msgSize, std::string& msg)
{
    return PassThrough<&FunctionTable::hsm_copytool_recv>(msg, priv, hal, msgSize);
}

int HSMActionBegin(hsm_copyaction_private** phcp, const hsm_copytool_private* ct, const hsm_action_item* hai,
                   int restoreMdtIndex, int restoreOpenFlags, bool isError, std::string& msg)
{
    return PassThrough<&FunctionTable::hsm_action_begin>(msg, phcp, ct, hai, restoreMdtIndex, restoreOpenFlags,
                                                         isError ? 1 : 0);
}

int HSMActionEnd(hsm_copyaction_private** phcp, const hsm_extent* he, int hpFlags, int errval, std::string& msg)
{
    return PassThrough<&FunctionTable::hsm_action_end>(msg, phcp, he, hpFlags, errval);
}

int HSMActionProgress(hsm_copyaction_private* hcp, const hsm_extent* he, unsigned long long total, int hpFlags,
                      std::string& msg)
{
    return PassThrough<&FunctionTable::hsm_action_progress>(msg, hcp, he, total, hpFlags);
}

// Leaves msg as it was when the entry point is bound.
int HSMActionGetFD(hsm_copyaction_private* hcp, std::string& msg)
{
    return Forward<&FunctionTable::hsm_action_get_fd>(msg, hcp);
}

// Leaves msg as it was when the entry point is bound.
int HSMActionGetDFID(hsm_copyaction_private* hcp, lu_fid* fid, std::string& msg)
{
    return Forward<&FunctionTable::hsm_action_get_dfid>(msg, hcp, fid);
}

int SearchFsName(const char* pathname, char* fsname, std::string& msg)
{
    return PassThrough<&FunctionTable::search_fsname>(msg, pathname, fsname);
}

int FID2Path(const char* device, const char* fidstr, char* path, int pathlen, long long* recno, int* linkno,
             std::string& msg)
{
    return PassThrough<&FunctionTable::fid2path>(msg, device, fidstr, path, pathlen, recno, linkno);
}

int GetMDTIndexByFid(int fd, const lu_fid* fid, int* mdtIndex, std::string& msg)
{
    return PassThrough<&FunctionTable::get_mdt_index_by_fid>(msg, fd, fid, mdtIndex);
}

// ---- HSM state and current action ------------------------------------------------

int HSMStateGet(const char* path, hsm_user_state* state, std::string& msg)
{
    return PassThrough<&FunctionTable::hsm_state_get>(msg, path, state);
}

int HSMStateSet(const char* path, unsigned long long setMask, unsigned long long clearMask, unsigned int archiveId,
                std::string& msg)
{
    return PassThrough<&FunctionTable::hsm_state_set>(msg, path, setMask, clearMask, archiveId);
}

int HSMCurrentAction(const char* path, hsm_current_action* action, std::string& msg)
{
    return PassThrough<&FunctionTable::hsm_current_action>(msg, path, action);
}

std::vector<std::string> GetBoundEntryPoints()
{
    std::vector<std::string> names;
    std::apply(
        [&names](const auto&... binding) {
            ((func_table.*binding.slot ? (void)names.emplace_back(binding.symbol) : void()), ...);
        },
        std::tuple_cat(kSlotBindings, kOptionalBindings));
    return names;
}

// ---- HSM user requests ------------------------------------------------------------

int HSMRequest(const char* path, int action, const char* data, std::string& msg)
{
    msg.clear();
    // The addresses tested here are the ones called below.
    const auto allocRequest = BoundEntry<&FunctionTable::hsm_user_request_alloc>(msg);
    if (!allocRequest) return -EINVAL;
    const auto submitRequest = BoundEntry<&FunctionTable::hsm_request>(msg);
    if (!submitRequest) return -EINVAL;
    const auto fd2fid = BoundEntry<&FunctionTable::fd2fid>(msg);
    if (!fd2fid) return -EINVAL;

    common::UniqueFd fd(::open(path, O_RDONLY));
    if (!fd.Valid()) {
        const int openErrno = errno;
        LogAlways(LAPI_LOCATION, "open(%s) failed, error=%s", path, std::strerror(openErrno));
        return -openErrno;
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
        LogAlways(LAPI_LOCATION, "failed to allocate HSM request");
        return -ENOMEM;
    }

    char* const bytes = reinterpret_cast<char*>(request.get());
    request->hur_request.hr_action = static_cast<unsigned int>(action);
    request->hur_request.hr_archive_id = 1;
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
    LogLine(LAPI_LOCATION, "HSMRequest(%s, %s) ReparseData=%s", path, label, data ? data : "NULL");

    const int result = submitRequest(path, request.get());
    if (result < 0) msg = HBString::Format("llapi_hsm_request(%s, %s) failed", path, label);
    return result;
}

int HSMArchive(const char* path, const char* data, std::string& msg)
{
    msg.clear();
    return HSMRequest(path, HUA_ARCHIVE, data, msg);
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

}  // namespace

CKxError HSMRequestFiles(const std::vector<std::string>& paths, int action, unsigned int archiveId,
                         const std::string& data, std::vector<int>& results)
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
        return HBErrorUtil::ErrorErrNo(LAPI_LOCATION, EINVAL, "%s", reason.c_str());
    }

    const HsmFilesOutcome outcome = SubmitFileRequests(entries, paths, action, archiveId, data, results);
    const char* const label = ActionName(action);
    LogLine(LAPI_LOCATION, "HSMRequestFiles(%s, %zu files, archive %u) in %zu requests, %zu failed", label,
            paths.size(), archiveId, outcome.requests, outcome.failed);
    if (outcome.failed == 0) return CKxError();
    const int firstErrno = -results[outcome.firstFailed];
    return HBErrorUtil::ErrorErrNo(LAPI_LOCATION, firstErrno, "%s request failed for %zu of %zu files, first %s: %s",
                                   label, outcome.failed, paths.size(), paths[outcome.firstFailed].c_str(),
                                   std::strerror(firstErrno));
}

// ---- File identifiers ----------------------------------------------------------------

namespace {

// True when there are at least three pieces and each of the first three
// starts with a hexadecimal digit.
bool HasFidShape(const std::vector<std::string>& pieces)
{
    if (pieces.size() < 3) return false;
    for (size_t i = 0; i < 3; ++i) {
        if (pieces[i].empty() || !std::isxdigit(static_cast<unsigned char>(pieces[i][0]))) return false;
    }
    return true;
}

// Runs one standard conversion with errno cleared, and puts the caller's
// errno back unless the conversion set its own. An exception leaves with the
// conversion's errno in place.
template <typename Convert>
auto ConvertKeepingErrno(Convert convert)
{
    const int savedErrno = errno;
    errno = 0;
    const auto value = convert();
    if (errno == 0) errno = savedErrno;
    return value;
}

}  // namespace

CLustreFID::CLustreFID() : m_seq(0), m_oid(0), m_ver(0) {}

CLustreFID::CLustreFID(const CLustreFID& other) : m_seq(other.m_seq), m_oid(other.m_oid), m_ver(other.m_ver) {}

CLustreFID::CLustreFID(std::string text) : m_seq(0), m_oid(0), m_ver(0)
{
    HBString::Trim(text, "[]");
    std::vector<std::string> pieces;
    HBString::Split(text, ":", pieces, 0);
    if (!HasFidShape(pieces)) {
        LogLine(LAPI_LOCATION, "FID cannot be generated for %s", text.c_str());
        return;
    }
    // Base 0: 0x hexadecimal, a leading 0 octal, else decimal; a conversion
    // stops at the first character that cannot continue the number. Object
    // id and version keep their low 32 bits.
    m_seq = ConvertKeepingErrno([&] { return std::stoull(pieces[0], nullptr, 0); });
    m_oid = static_cast<unsigned int>(ConvertKeepingErrno([&] { return std::stoul(pieces[1], nullptr, 0); }));
    m_ver = static_cast<unsigned int>(ConvertKeepingErrno([&] { return std::stoul(pieces[2], nullptr, 0); }));
}

CLustreFID::~CLustreFID() {}

int Path2FID(const std::string& path, lu_fid& fid, std::string& message)
{
    const auto entry = BoundEntry<&FunctionTable::path2fid>(message);
    if (!entry) return -EINVAL;
    // Cleared so that a failed call that writes nothing hands back zeros
    // rather than stack garbage.
    lu_fid found{};
    const int result = entry(path.c_str(), &found);
    if (result != 0) message = HBString::Format("Cannot convert Path to FID for %s", path.c_str());
    fid = found;
    return result;
}

CKxError GetFIDFromPath(const std::string& path, CLustreFID& fid)
{
    std::string message;
    lu_fid found{};
    if (Path2FID(path, found, message) != 0)
        return HBErrorUtil::ErrorErrNo(LAPI_LOCATION, ENOENT, "%s", message.c_str());
    fid.m_seq = found.f_seq;
    fid.m_oid = found.f_oid;
    fid.m_ver = found.f_ver;
    return CKxError();
}

CKxError GetPathFromFID(const std::string& mountPoint, CLustreFID& fid, std::string& path, int& linkNo,
                        long long& recNo)
{
    constexpr int kPathBufferSize = 1024;  // the terminating NUL included
    std::string message;
    const std::string fidText = HBString::Format("[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
    char buffer[kPathBufferSize];
    buffer[0] = '\0';
    // FID2Path takes the record number before the link number.
    const int result = FID2Path(mountPoint.c_str(), fidText.c_str(), buffer, kPathBufferSize, &recNo, &linkNo, message);
    if (result != 0)
        return HBErrorUtil::ErrorErrNo(LAPI_LOCATION, ENOENT, "Cannot convert FID to Path for %s due to %s",
                                       fidText.c_str(), message.c_str());
    // A callee that fills the whole buffer leaves no NUL: read no further
    // than the buffer and keep what fits.
    const std::string relativePath(buffer, strnlen(buffer, sizeof buffer));
    path = mountPoint;
    HBPath::Append(path, relativePath, 0);  // joining cannot fail
    return CKxError();
}

// ==== Commands, changelog dump, MDT discovery, changelog users and indexes ====
//
// Every command line is built from values inserted as they are; the values
// are checked first (ArgumentChecks.h), so that no shell on either side of ssh
// reads anything into them. A refused value runs nothing and leaves every
// output untouched.

// Inputs are spelled "const string&" and outputs "std::string&": that is how
// the function texts of this section's log lines and error locations read.
using string = std::string;

namespace {

// The error of both parse sites of the changelog_users listing.
CKxError ChangelogUsersParseError(const HBCodeLocation& where)
{
    return CommandError(where, "Cannot parse the output of this command lctl get_param mdd.MDT-name.changelog_users");
}

// The second line of every failed remote command, after the operation's own.
void LogKeylessSsh(const HBCodeLocation& where, const string& user, const string& host)
{
    LogLine(where, "Check whether keyless ssh is enabled for the user %s on the host %s", user.c_str(), host.c_str());
}

}  // namespace

CKxError RunCommand(const string& command, std::list<std::string>& lines)
{
    std::string output;
    std::string errors;
    const int status = ZqProcess::system(command.c_str(), &output, &errors, 0, false);
    if (status != 0 || output.empty()) {
        LogLine(LAPI_LOCATION, "Command %s failed with Error %s", command.c_str(), errors.c_str());
        return CommandError(LAPI_LOCATION, "Command %s failed with Error %s", command.c_str(), errors.c_str());
    }
    HBString::Split(output, "\n", lines, 0);
    if (lines.empty()) return CommandError(LAPI_LOCATION, "Command %s output is empty", command.c_str());
    return CKxError();
}

// The second parameter, a file-system name, stays for the hosts built against
// this signature; lfs finds the changelog by the MDT's device name alone.
CKxError GetChangelogs(const string& mdt, const string&, const string& startRecord, const string& endRecord,
                       const string& outputFile)
{
    // Both record numbers may be empty (lfs then dumps the whole changelog), but
    // an empty start before an end would make lfs read the end as the start.
    CKxError refused =
        CheckCommandArguments(LAPI_LOCATION, {{"MDT", mdt, ArgumentKind::Word, false},
                                              {"start record", startRecord, ArgumentKind::Word, endRecord.empty()},
                                              {"end record", endRecord, ArgumentKind::Word, true},
                                              {"output file", outputFile, ArgumentKind::Word, false}});
    if (refused.Failed()) return refused;

    const std::string command = HBString::Format("lfs changelog %s %s %s > %s", mdt.c_str(), startRecord.c_str(),
                                                 endRecord.c_str(), outputFile.c_str());
    std::string output;
    std::string errors;
    const int status = ZqProcess::system(command.c_str(), &output, &errors, 0, false);
    if (status != 0) {
        LogLine(LAPI_LOCATION, "Command %s failed with Error %s", command.c_str(), errors.c_str());
        return CommandError(LAPI_LOCATION, "Command %s failed with Error %s", command.c_str(), errors.c_str());
    }
    if (!output.empty()) return CommandError(LAPI_LOCATION, "Cannot obtain changelogs due to %s", output.c_str());
    return CKxError();
}

CKxError GetMDTList(const string& fsName, std::vector<std::string>& mdtNames, std::vector<std::string>& mdtServers)
{
    CKxError refused = CheckCommandArguments(LAPI_LOCATION, {{"file-system name", fsName, ArgumentKind::Word, false}});
    if (refused.Failed()) return refused;

    mdtServers.clear();
    const std::string command = HBString::Format("lctl get_param mdc.%s*.mds_conn_uuid", fsName.c_str());
    std::list<std::string> lines;
    CKxError error = RunCommand(command, lines);
    if (error.Failed()) {
        LogLine(LAPI_LOCATION, "Cannot retrieve the list of MDTs for the Filesystem %s", fsName.c_str());
        return error;
    }

    // A client that mounts the file system twice has an mdc device per MDT and
    // mount: each MDT is listed once, at its first line.
    std::set<std::string> listed;
    for (auto line = lines.begin(); line != lines.end(); ++line) {
        if (line->empty()) continue;
        std::string mdtName;
        std::string value;
        if (ReadMdcLine(*line, fsName, mdtName, value) != ListingLine::Value) continue;
        // lctl 2.7 to 2.15 print a long value on the line after "name=".
        const auto next = std::next(line);
        if (value.empty() && next != lines.end() && !next->empty() && next->find('=') == std::string::npos) {
            value = *next;
            line = next;
        }
        if (!listed.insert(mdtName).second) continue;
        mdtServers.push_back(ServerOfValue(value));
        mdtNames.push_back(mdtName);
    }
    return CKxError();
}

CKxError RegisterChangelog(const string& host, const string& mdt, const string& fsName, const string& user,
                           std::string& changelogUser)
{
    CKxError refused = CheckCommandArguments(LAPI_LOCATION, {{"host", host, ArgumentKind::Login, false},
                                                             {"MDT", mdt, ArgumentKind::Word, false},
                                                             {"user", user, ArgumentKind::Login, false}});
    if (refused.Failed()) return refused;

    const std::string command =
        HBString::Format("ssh %s@%s 'lctl --device %s changelog_register'", user.c_str(), host.c_str(), mdt.c_str());
    std::list<std::string> lines;
    CKxError error = RunCommand(command, lines);
    if (error.Failed()) {
        LogLine(LAPI_LOCATION, "Cannot register the changelog in MDT %s for the Filesystem %s on host %s", mdt.c_str(),
                fsName.c_str(), host.c_str());
        LogKeylessSsh(LAPI_LOCATION, user, host);
        return error;
    }

    static const char kRegistered[] = "Registered changelog userid";  // 27 characters
    bool replied = false;
    for (const std::string& line : lines) {
        if (line.empty()) continue;
        replied = true;
        std::vector<std::string> pieces;
        HBString::Split(line, ":", pieces, 0);
        if (pieces.empty() || std::strcmp(pieces[0].c_str(), mdt.c_str()) != 0) {
            LogLine(LAPI_LOCATION,
                    "The Device name didn't match the output. Registering changelog user failed for %s since "
                    "output is %s",
                    mdt.c_str(), line.c_str());
            return CommandError(LAPI_LOCATION, "Registering Changelog user failed for %s", mdt.c_str());
        }
        bool expected = pieces.size() >= 2;
        if (expected) {
            std::string& reply = pieces[1];
            HBString::TrimLeft(reply, " ");
            expected = reply.size() >= sizeof kRegistered - 1 &&
                       std::memcmp(reply.data(), kRegistered, sizeof kRegistered - 1) == 0;
            if (expected) {
                HBString::TrimLeft(reply, "Registered changelog userid ");
                HBString::Trim(reply, "'");
                // A reply without an identifier registered nothing we could name.
                expected = !reply.empty();
            }
        }
        if (!expected) {
            LogLine(LAPI_LOCATION, "Registering changelog user failed for %s with %s", mdt.c_str(), line.c_str());
            return CommandError(LAPI_LOCATION, "Registering Changelog user failed for %s", mdt.c_str());
        }
        changelogUser = pieces[1];
    }
    // The caller asked for an identifier; a reply of line ends gives none.
    if (!replied) {
        LogLine(LAPI_LOCATION, "Registering changelog user failed for %s with %s", mdt.c_str(), "an empty reply");
        return CommandError(LAPI_LOCATION, "Registering Changelog user failed for %s", mdt.c_str());
    }
    return CKxError();
}

CKxError DeRegisterChangelog(const string& host, const string& mdt, const string& fsName, const string& user,
                             std::string& changelogUser)
{
    CKxError refused =
        CheckCommandArguments(LAPI_LOCATION, {{"host", host, ArgumentKind::Login, false},
                                              {"MDT", mdt, ArgumentKind::Word, false},
                                              {"user", user, ArgumentKind::Login, false},
                                              {"changelog user", changelogUser, ArgumentKind::Word, false}});
    if (refused.Failed()) return refused;

    const std::string command = HBString::Format("ssh %s@%s 'lctl --device %s changelog_deregister %s'", user.c_str(),
                                                 host.c_str(), mdt.c_str(), changelogUser.c_str());
    std::list<std::string> lines;
    CKxError error = RunCommand(command, lines);
    if (error.Failed()) {
        LogLine(LAPI_LOCATION, "Cannot deregister the changelog %s in MDT %s for the Filesystem %s on host %s",
                changelogUser.c_str(), mdt.c_str(), fsName.c_str(), host.c_str());
        LogKeylessSsh(LAPI_LOCATION, user, host);
        return error;
    }

    const auto reply = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty(); });
    if (reply == lines.end()) return CKxError();
    const std::string& line = *reply;

    const std::string expected =
        HBString::Format("%s: Deregistered changelog user '%s'", mdt.c_str(), changelogUser.c_str());
    if (line == expected) return CKxError();
    // Lustre 2.15 and later name the user by its number: "<MDT>: Deregistered
    // changelog user #N".
    const std::string number = ChangelogUserNumber(changelogUser);
    if (!number.empty() && line == HBString::Format("%s: Deregistered changelog user #%s", mdt.c_str(), number.c_str()))
        return CKxError();

    LogLine(LAPI_LOCATION, "Cannot deregister the changelog user %s. It returned %s", changelogUser.c_str(),
            line.c_str());
    return CommandError(LAPI_LOCATION, "Cannot de-register the changelog user %s. It returned %s",
                        changelogUser.c_str(), line.c_str());
}

namespace {

// Lists mdd.<mdt>.changelog_users on host over ssh as user. Arguments that
// are unsafe on a command line are refused at the caller's location, before
// anything runs; commandFailed tells the caller that the command itself
// failed, with the runner's error, so that it can add its own log lines.
CKxError ReadChangelogUsers(const HBCodeLocation& caller, const string& host, const string& mdt, const string& user,
                            std::list<std::string>& lines, bool& commandFailed)
{
    CKxError refused = CheckCommandArguments(caller, {{"host", host, ArgumentKind::Login, false},
                                                      {"MDT", mdt, ArgumentKind::Word, false},
                                                      {"user", user, ArgumentKind::Login, false}});
    if (refused.Failed()) return refused;

    const std::string command =
        HBString::Format("ssh %s@%s 'lctl get_param mdd.%s.changelog_users'", user.c_str(), host.c_str(), mdt.c_str());
    CKxError error = RunCommand(command, lines);
    commandFailed = error.Failed();
    return error;
}

}  // namespace

CKxError GetChangelogCurrentIndex(const string& host, const string& mdt, const string& fsName, const string& user,
                                  std::string& currentIndex)
{
    std::list<std::string> lines;
    bool commandFailed = false;
    CKxError error = ReadChangelogUsers(LAPI_LOCATION, host, mdt, user, lines, commandFailed);
    if (commandFailed) {
        LogLine(LAPI_LOCATION, "Cannot get the current index of the changelogs in the MDT %s for Lustre FS %s",
                mdt.c_str(), fsName.c_str());
        LogKeylessSsh(LAPI_LOCATION, user, host);
    }
    if (error.Failed()) return error;

    // Only the first current-index line counts.
    for (const std::string& line : lines) {
        if (line.empty()) continue;
        std::string value;
        switch (ReadCurrentIndexLine(line, value)) {
        case ListingLine::None:
            continue;
        case ListingLine::ParseError:
            return ChangelogUsersParseError(LAPI_LOCATION);
        case ListingLine::Value:
            LogLine(LAPI_LOCATION, "The Current Index for Changelogs at MDT %s is %s", mdt.c_str(), value.c_str());
            currentIndex = value;
            return CKxError();
        }
    }
    return CommandError(LAPI_LOCATION, "Cannot get changelog current index from the MDT %s", mdt.c_str());
}

CKxError GetStartAndEndChangelogRecordNumbers(const string& host, const string& mdt, const string& fsName,
                                              const string& user, const string& changelogUser, std::string& startRecord,
                                              std::string& endRecord)
{
    std::list<std::string> lines;
    bool commandFailed = false;
    CKxError error = ReadChangelogUsers(LAPI_LOCATION, host, mdt, user, lines, commandFailed);
    if (commandFailed) {
        LogLine(LAPI_LOCATION, "Cannot get the changelog user information for the MDT %s of Lustre FS %s", mdt.c_str(),
                fsName.c_str());
        LogKeylessSsh(LAPI_LOCATION, user, host);
    }
    if (error.Failed()) return error;

    // Every line is read; the last current-index line gives the end, the last
    // reader line the start. Whether the reader was found is this call's own
    // finding, whatever startRecord held on entry.
    bool readerFound = false;
    for (const std::string& line : lines) {
        if (line.empty()) continue;
        std::string value;
        switch (ReadCurrentIndexLine(line, value)) {
        case ListingLine::None:
            break;
        case ListingLine::ParseError:
            return ChangelogUsersParseError(LAPI_LOCATION);
        case ListingLine::Value:
            LogLine(LAPI_LOCATION, "The End Record Number for Changelogs at MDT %s is %s", mdt.c_str(), value.c_str());
            endRecord = value;
            break;
        }
        switch (ReadReaderLine(line, changelogUser, value)) {
        case ListingLine::None:
            break;
        case ListingLine::ParseError:
            return ChangelogUsersParseError(LAPI_LOCATION);
        case ListingLine::Value:
            LogLine(LAPI_LOCATION, "The Start Record Number for Changelogs at MDT %s is %s", mdt.c_str(),
                    value.c_str());
            startRecord = value;
            readerFound = !value.empty();
            break;
        }
    }
    if (!readerFound)
        return CommandError(LAPI_LOCATION, "Cannot find the changelog reader %s in the MDT %s for Lustre FS %s",
                            changelogUser.c_str(), mdt.c_str(), fsName.c_str());
    return CKxError();
}

// ---- Changelog consumers ------------------------------------------------------

CKxError ParseChangelogRecord(const string& line, CChangelogRecord& record)
{
    CChangelogRecord read;
    if (!ReadChangelogRecordText(line.data(), line.size(), read))
        return CommandError(LAPI_LOCATION, "Cannot read the changelog record \"%s\"", QuoteForMessage(line).c_str());
    record = std::move(read);
    return CKxError();
}

CKxError ReadChangelogs(const string& mdt, const string& startRecord, const string& endRecord,
                        std::vector<CChangelogRecord>& records)
{
    CKxError refused =
        CheckCommandArguments(LAPI_LOCATION, {{"MDT", mdt, ArgumentKind::Word, false},
                                              {"start record", startRecord, ArgumentKind::Word, endRecord.empty()},
                                              {"end record", endRecord, ArgumentKind::Word, true}});
    if (refused.Failed()) return refused;

    const HBCodeLocation where = LAPI_LOCATION;
    // Not through RunCommand: an empty range prints nothing, and that is a success.
    const std::string command =
        HBString::Format("lfs changelog %s %s %s", mdt.c_str(), startRecord.c_str(), endRecord.c_str());
    std::string output;
    std::string errors;
    const int status = ZqProcess::system(command.c_str(), &output, &errors, 0, false);
    if (status != 0) {
        LogLine(LAPI_LOCATION, "Command %s failed with Error %s", command.c_str(), errors.c_str());
        return CommandError(LAPI_LOCATION, "Command %s failed with Error %s", command.c_str(), errors.c_str());
    }

    // The range as lfs reads it where it is plain digits (0: no bound);
    // other texts are not checked against.
    const auto bound = [](const string& text) {
        unsigned long long value = 0;
        const char* end = text.data() + text.size();
        const auto [stop, ec] = std::from_chars(text.data(), end, value);
        return !text.empty() && text[0] != '+' && ec == std::errc() && stop == end ? value : 0;
    };
    const unsigned long long first = bound(startRecord);
    const unsigned long long last = bound(endRecord);

    // Read straight into records; on failure what was appended is removed again.
    const std::size_t before = records.size();
    records.reserve(before + static_cast<std::size_t>(std::count(output.begin(), output.end(), '\n')) + 1);
    const auto fail = [&](const std::string& message) {
        records.erase(records.begin() + static_cast<std::ptrdiff_t>(before), records.end());
        return CommandError(where, "%s", message.c_str());
    };
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        const char* line = output.data() + start;
        const std::size_t length = end - start;
        start = end + 1;
        if (length == 0) continue;
        records.emplace_back();
        if (!ReadChangelogRecordText(line, length, records.back()))
            return fail(HBString::Format("Cannot read the changelog record \"%s\" printed by %s",
                                         QuoteForMessage(std::string(line, length)).c_str(), command.c_str()));
        // lfs prints records in rising order and within the range; a line that
        // breaks either is not the record it looks like (a file name with a
        // line break can print one).
        const unsigned long long index = records.back().m_index;
        if (index < first || (last != 0 && index > last))
            return fail(HBString::Format("The changelog record \"%s\" printed by %s lies outside the range asked for",
                                         QuoteForMessage(std::string(line, length)).c_str(), command.c_str()));
        if (records.size() > before + 1 && index <= records[records.size() - 2].m_index)
            return fail(HBString::Format("The changelog record \"%s\" printed by %s does not follow record %llu",
                                         QuoteForMessage(std::string(line, length)).c_str(), command.c_str(),
                                         records[records.size() - 2].m_index));
    }
    LogLine(LAPI_LOCATION, "Read %zu changelog records of MDT %s", records.size() - before, mdt.c_str());
    return CKxError();
}

CKxError ClearChangelog(const string& mdt, const string& changelogUser, const string& endRecord)
{
    // lfs reads any end record that is not a number as 0, "everything":
    // refused here, so that a typo never acknowledges unread records.
    CKxError refused =
        CheckCommandArguments(LAPI_LOCATION, {{"MDT", mdt, ArgumentKind::Word, false},
                                              {"changelog user", changelogUser, ArgumentKind::Word, false},
                                              {"end record", endRecord, ArgumentKind::Number, false}});
    if (refused.Failed()) return refused;

    const std::string command =
        HBString::Format("lfs changelog_clear %s %s %s", mdt.c_str(), changelogUser.c_str(), endRecord.c_str());
    std::string output;
    std::string errors;
    const int status = ZqProcess::system(command.c_str(), &output, &errors, 0, false);
    if (status != 0) {
        LogLine(LAPI_LOCATION, "Command %s failed with Error %s", command.c_str(), errors.c_str());
        return CommandError(LAPI_LOCATION, "Command %s failed with Error %s", command.c_str(), errors.c_str());
    }
    LogLine(LAPI_LOCATION, "The changelog reader %s at MDT %s acknowledged the records up to %s", changelogUser.c_str(),
            mdt.c_str(), endRecord.c_str());
    return CKxError();
}

CKxError GetChangelogUsers(const string& host, const string& mdt, const string& fsName, const string& user,
                           unsigned long long& currentIndex, std::vector<CChangelogUser>& users)
{
    std::list<std::string> lines;
    bool commandFailed = false;
    CKxError error = ReadChangelogUsers(LAPI_LOCATION, host, mdt, user, lines, commandFailed);
    if (commandFailed) {
        LogLine(LAPI_LOCATION, "Cannot get the changelog users of the MDT %s for Lustre FS %s", mdt.c_str(),
                fsName.c_str());
        LogKeylessSsh(LAPI_LOCATION, user, host);
    }
    if (error.Failed()) return error;

    const HBCodeLocation where = LAPI_LOCATION;
    const auto unreadable = [&](const std::string& line) {
        return CommandError(where, "Cannot read the line \"%s\" of lctl get_param mdd.%s.changelog_users",
                            QuoteForMessage(line).c_str(), mdt.c_str());
    };
    bool indexFound = false;
    unsigned long long index = 0;
    std::vector<CChangelogUser> listed;
    for (const std::string& line : lines) {
        if (line.empty()) continue;
        std::string value;
        const ListingLine indexLine = ReadCurrentIndexLine(line, value);
        if (indexLine == ListingLine::ParseError) return unreadable(line);
        if (indexLine == ListingLine::Value) {
            // A second one would be a second listing, whose readers we could not tell apart.
            if (indexFound || !ReadIndexNumber(value, index)) return unreadable(line);
            indexFound = true;
            continue;
        }
        ListedReader reader;
        switch (ReadListedReader(line, reader)) {
        case ListingLine::None:
            continue;
        case ListingLine::ParseError:
            return unreadable(line);
        case ListingLine::Value:
            listed.emplace_back();
            listed.back().m_id = std::move(reader.id);
            listed.back().m_index = reader.index;
            listed.back().m_idleSeconds = reader.idleSeconds;
            listed.back().m_mask = std::move(reader.mask);
            break;
        }
    }
    if (!indexFound)
        return CommandError(LAPI_LOCATION, "Cannot get changelog current index from the MDT %s", mdt.c_str());
    LogLine(LAPI_LOCATION, "The Current Index for Changelogs at MDT %s is %llu, with %zu changelog readers",
            mdt.c_str(), index, listed.size());
    currentIndex = index;
    users = std::move(listed);
    return CKxError();
}

}  // namespace LustreAPI
