// Binding liblustreapi into the entry-point table, and the pass-through
// operations that forward to it.
#include <mutex>

#include "Diagnostics.h"
#include "EntryPoints.h"
#include "KxUtils.h"
#include "LustreAPI.h"
#include "ZqLib.h"

namespace LustreAPI {

FunctionTable func_table;

namespace {

// True once one binding attempt has stored all fifteen slots; never cleared.
std::atomic<bool> g_bLibraryLoaded;
// One binding attempt at a time: a repeat after a failure stores the same
// addresses again while other threads may call the ones bound already.
std::mutex g_bindingMutex;

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
    (func_table.*binding.slot).store(reinterpret_cast<Entry>(address), std::memory_order_release);
    return true;
}

}  // namespace

// ---- Binding ------------------------------------------------------------------

CKxError LoadFunctions()
{
    if (g_bLibraryLoaded.load(std::memory_order_acquire)) return CKxError();
    const std::lock_guard<std::mutex> lock(g_bindingMutex);
    if (g_bLibraryLoaded.load(std::memory_order_acquire)) return CKxError();

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
            ((BindSlot(library, binding, ignored, spelled) ||
              ((func_table.*binding.slot).store(nullptr, std::memory_order_release), true)),
             ...);
        },
        kOptionalBindings);

    g_bLibraryLoaded.store(true, std::memory_order_release);
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
            (((func_table.*binding.slot).load(std::memory_order_acquire) ? (void)names.emplace_back(binding.symbol)
                                                                         : void()),
             ...);
        },
        std::tuple_cat(kSlotBindings, kOptionalBindings));
    return names;
}

}  // namespace LustreAPI
