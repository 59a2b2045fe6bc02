// The table of liblustreapi's bound entry points and the guard in front of
// every call into it. Shared by the sources that call into Lustre; only
// LoadFunctions (Binding.cpp) writes the table.
#pragma once
#include <atomic>
#include <cerrno>
#include <string>
#include <tuple>
#include <type_traits>

#include "LustreAbi.h"

namespace LustreAPI {

// One slot per entry point, in binding order. Zero-initialised static
// storage: every slot is null until LoadFunctions stores into it. Slots are
// atomic because a repeated LoadFunctions (after a failed one) may store into
// them while other threads call the entry points already bound; on x86-64 an
// acquire load is an ordinary load, so the guard costs nothing more.
struct FunctionTable {
    std::atomic<llapi_hsm_copytool_register_t> hsm_copytool_register;
    std::atomic<llapi_hsm_copytool_unregister_t> hsm_copytool_unregister;
    std::atomic<llapi_hsm_copytool_recv_t> hsm_copytool_recv;
    std::atomic<llapi_hsm_action_begin_t> hsm_action_begin;
    std::atomic<llapi_hsm_action_end_t> hsm_action_end;
    std::atomic<llapi_hsm_action_progress_t> hsm_action_progress;
    std::atomic<llapi_hsm_action_get_fd_t> hsm_action_get_fd;
    std::atomic<llapi_hsm_action_get_dfid_t> hsm_action_get_dfid;
    std::atomic<llapi_hsm_user_request_alloc_t> hsm_user_request_alloc;
    std::atomic<llapi_hsm_request_t> hsm_request;
    std::atomic<llapi_search_fsname_t> search_fsname;
    std::atomic<llapi_fid2path_t> fid2path;
    std::atomic<llapi_path2fid_t> path2fid;
    std::atomic<llapi_get_mdt_index_by_fid_t> get_mdt_index_by_fid;
    std::atomic<llapi_fd2fid_t> fd2fid;
    // Bound when the library has them; binding succeeds without them.
    std::atomic<llapi_hsm_state_get_t> hsm_state_get;
    std::atomic<llapi_hsm_state_set_t> hsm_state_set;
    std::atomic<llapi_hsm_current_action_t> hsm_current_action;
    std::atomic<llapi_changelog_start_t> changelog_start;
    std::atomic<llapi_changelog_recv_t> changelog_recv;
    std::atomic<llapi_changelog_free_t> changelog_free;
    std::atomic<llapi_changelog_fini_t> changelog_fini;
    std::atomic<llapi_changelog_get_fd_t> changelog_get_fd;
    std::atomic<llapi_changelog_set_xflags_t> changelog_set_xflags;
    std::atomic<llapi_changelog_clear_t> changelog_clear;
};

extern FunctionTable func_table;

// One entry point: its name, the slot it is stored into and, when the
// message on a missing symbol spells the name otherwise, that spelling
// (slot 0's is misspelt: hosts match these texts as they are).
template <typename Entry>
struct SlotBinding {
    const char* symbol;
    std::atomic<Entry> FunctionTable::*slot;
    const char* spelledInMessage;
};

template <typename Entry>
constexpr SlotBinding<Entry> Bind(const char* symbol, std::atomic<Entry> FunctionTable::*slot,
                                  const char* spelledInMessage = nullptr)
{
    return {symbol, slot, spelledInMessage};
}

// In binding order. A tuple, since every slot has a type of its own.
inline constexpr auto kSlotBindings = std::make_tuple(
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
inline constexpr auto kOptionalBindings =
    std::make_tuple(Bind("llapi_hsm_state_get", &FunctionTable::hsm_state_get),
                    Bind("llapi_hsm_state_set", &FunctionTable::hsm_state_set),
                    Bind("llapi_hsm_current_action", &FunctionTable::hsm_current_action),
                    Bind("llapi_changelog_start", &FunctionTable::changelog_start),
                    Bind("llapi_changelog_recv", &FunctionTable::changelog_recv),
                    Bind("llapi_changelog_free", &FunctionTable::changelog_free),
                    Bind("llapi_changelog_fini", &FunctionTable::changelog_fini),
                    Bind("llapi_changelog_get_fd", &FunctionTable::changelog_get_fd),
                    Bind("llapi_changelog_set_xflags", &FunctionTable::changelog_set_xflags),
                    Bind("llapi_changelog_clear", &FunctionTable::changelog_clear));
static_assert(sizeof(FunctionTable) == (std::tuple_size_v<decltype(kSlotBindings)> +
                                        std::tuple_size_v<decltype(kOptionalBindings)>)*sizeof(void*),
              "one binding per slot of the table");

// The calls a changelog reader makes in-process, each read from the table
// once: a reader calls only what it checked, whatever LoadFunctions does on
// another thread meanwhile (bound entry points are never unbound).
struct ChangelogCalls {
    llapi_changelog_start_t start = nullptr;
    llapi_changelog_recv_t recv = nullptr;
    llapi_changelog_free_t release = nullptr;
    llapi_changelog_fini_t fini = nullptr;
    llapi_changelog_get_fd_t getFd = nullptr;
    llapi_changelog_set_xflags_t setXflags = nullptr;

    // Reads the six; true when every one is bound.
    bool Load()
    {
        start = func_table.changelog_start.load(std::memory_order_acquire);
        recv = func_table.changelog_recv.load(std::memory_order_acquire);
        release = func_table.changelog_free.load(std::memory_order_acquire);
        fini = func_table.changelog_fini.load(std::memory_order_acquire);
        getFd = func_table.changelog_get_fd.load(std::memory_order_acquire);
        setXflags = func_table.changelog_set_xflags.load(std::memory_order_acquire);
        return start && recv && release && fini && getFd && setXflags;
    }
};

template <auto Slot, typename Entry>
constexpr bool IsBindingOf(const SlotBinding<Entry>& binding)
{
    if constexpr (std::is_same_v<decltype(Slot), std::atomic<Entry> FunctionTable::*>)
        return binding.slot == Slot;
    else
        return false;
}

// The entry-point name of a slot, found in the binding tables when compiling.
template <auto Slot>
constexpr const char* SymbolOf()
{
    const char* symbol = nullptr;
    std::apply(
        [&symbol](const auto&... binding) { ((symbol = IsBindingOf<Slot>(binding) ? binding.symbol : symbol), ...); },
        std::tuple_cat(kSlotBindings, kOptionalBindings));
    return symbol;
}

// The guard in front of every call into liblustreapi: the slot's entry point
// as read now, or null with "<entry point> is not loaded" assigned to msg.
template <auto Slot>
auto BoundEntry(std::string& msg)
{
    constexpr const char* symbol = SymbolOf<Slot>();
    static_assert(symbol != nullptr, "the slot is bound from a binding table");
    const auto entry = (func_table.*Slot).load(std::memory_order_acquire);
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

}  // namespace LustreAPI
