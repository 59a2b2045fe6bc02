// Copytool registration and the delivery of queued actions as
// hsm_action_lists.
#include "Copytool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "EventFifo.h"
#include "HsmStore.h"
#include "Message.h"
#include "Operations.h"
#include "SimState.h"
#include "UniqueFd.h"
#include "WholeNumber.h"

struct hsm_copytool_private {
    sim::lib::CopytoolInfo info;
    std::vector<unsigned> archives;  // empty: every archive
    int archiveCount = 0;            // as registered, 0 meaning every archive
    bool nonblock = false;
    common::UniqueFd wakeRead;
    common::UniqueFd wakeWrite;
    std::vector<unsigned long long> buffer;  // the last list handed out, 8-byte aligned
    std::atomic<bool> shutdown{false};
    std::unique_ptr<sim::lib::PreparedEvent> unregisterEvent;  // written by unregister, which may not allocate
};

namespace sim::lib {
namespace {

// How often a waiting receive looks at the queue.
constexpr int kPollMs = 50;

// Live copytools, without locks: unregister runs from signal handlers,
// perhaps on a thread that holds any lock of ours. Each slot holds a
// copytool and a word counting the calls using it, with kDead set once it
// is unregistered; whoever brings a dead slot's count to zero frees the
// copytool and empties the slot.
constexpr int kSlots = 256;
constexpr unsigned kDead = 1u << 31;
constexpr unsigned kSweeping = 1u << 30;  // with kDead: being freed by a sweep

struct Slot {
    std::atomic<hsm_copytool_private*> ct{nullptr};
    std::atomic<unsigned> state{0};
};

Slot g_slots[kSlots];
std::atomic<unsigned> g_nextId{1};

void Free(Slot& slot)
{
    hsm_copytool_private* ct = slot.ct.exchange(nullptr);
    slot.state = 0;
    delete ct;
}

void Release(Slot& slot)
{
    if (slot.state.fetch_sub(1) == (kDead | 1)) Free(slot);
}

// Frees the copytools that unregister left with no call using them.
void SweepUnregistered()
{
    for (Slot& slot : g_slots) {
        unsigned dead = kDead;
        if (slot.state.compare_exchange_strong(dead, kDead | kSweeping)) Free(slot);
    }
}

// Marks ct's slot as in use by one more call; null for anything that is not
// a live copytool (never dereferenced).
Slot* Acquire(const hsm_copytool_private* ct)
{
    if (!ct) return nullptr;
    for (Slot& slot : g_slots) {
        if (slot.ct.load() != ct) continue;
        unsigned s = slot.state.load();
        do {
            if (s & kDead) return nullptr;
        } while (!slot.state.compare_exchange_weak(s, s + 1));
        if (slot.ct.load() == ct) return &slot;
        Release(slot);  // the slot changed hands meanwhile
        return nullptr;
    }
    return nullptr;
}

// The client's agent UUID, made from the mount's client instance.
std::string AgentUuid(const CopytoolInfo& info)
{
    const std::string& i = info.instance;
    if (i.size() != 16) return i;
    return i.substr(0, 8) + "-" + i.substr(8, 4) + "-" + i.substr(12, 4) + "-0000-000000000000";
}

JsonEvent RegistrationEvent(const hsm_copytool_private& ct, const char* type)
{
    return std::move(JsonEvent(type)
                         .Num("archive", ct.archiveCount)
                         .Str("mount_point", ct.info.mount)
                         .Str("uuid", AgentUuid(ct.info)));
}

bool OwnerAlive(const std::string& owner)
{
    long long pid;
    size_t dot = owner.find('.');
    if (dot == std::string::npos || !common::WholeNumber(owner.substr(0, dot), pid) || pid <= 0) return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool Wants(const hsm_copytool_private& ct, unsigned archive)
{
    return ct.archives.empty() || std::find(ct.archives.begin(), ct.archives.end(), archive) != ct.archives.end();
}

// Lustre places the name and each item of an action list at 8-byte boundaries.
size_t Align8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

// Packs actions (one request, one archive) into ct's buffer.
size_t Pack(hsm_copytool_private& ct, const std::vector<Action>& actions)
{
    const std::string& fs = ct.info.fs;
    size_t total = Align8(sizeof(hsm_action_list) + fs.size() + 1);
    for (const auto& a : actions) total += Align8(sizeof(hsm_action_item) + a.data.size());
    ct.buffer.assign((total + 7) / 8, 0);
    auto* base = reinterpret_cast<char*>(ct.buffer.data());

    hsm_action_list hal{};
    hal.hal_version = HAL_VERSION;
    hal.hal_count = static_cast<unsigned>(actions.size());
    hal.hal_compound_id = actions.front().compound;
    hal.hal_flags = actions.front().flags;
    hal.hal_archive_id = actions.front().archiveId;
    memcpy(base, &hal, sizeof hal);
    memcpy(base + sizeof hal, fs.c_str(), fs.size() + 1);

    size_t offset = Align8(sizeof(hsm_action_list) + fs.size() + 1);
    for (const auto& a : actions) {
        hsm_action_item hai{};
        hai.hai_len = static_cast<unsigned>(sizeof(hsm_action_item) + a.data.size());
        hai.hai_action = a.action;
        hai.hai_fid = a.fid;
        hai.hai_dfid = a.fid;
        hai.hai_extent.offset = a.extentOffset;
        hai.hai_extent.length = a.extentLength;
        hai.hai_cookie = a.cookie;
        hai.hai_gid = 0;
        memcpy(base + offset, &hai, sizeof hai);
        if (!a.data.empty()) memcpy(base + offset + sizeof hai, a.data.data(), a.data.size());
        offset += Align8(hai.hai_len);
    }
    return total;
}

// Hands ct the oldest waiting request for its file system and archives.
// Returns the list's size, 0 when nothing waits, or -errno.
long long Take(hsm_copytool_private& ct)
{
    Context ctx;
    if (!LoadContext(ctx)) return -ENODEV;
    Transaction tx(*ctx.db);
    HsmStore hsm;
    if (!tx.Begun() || !hsm.Load(ctx)) return -EIO;
    // Actions handed to a copytool that died go back to the queue.
    for (const std::string& owner : hsm.Owners())
        if (!OwnerAlive(owner)) hsm.Requeue(owner);
    std::vector<Action> chosen;
    for (Action* a : hsm.NextRequest(ct.info.fs, [&](const Action& w) { return Wants(ct, w.archiveId); })) {
        a->started = true;
        a->owner = ct.info.id;
        chosen.push_back(*a);
    }
    if (!hsm.Save(ctx) || !tx.Commit()) return -EIO;
    if (chosen.empty()) return 0;
    return static_cast<long long>(Pack(ct, chosen));
}

}  // namespace

bool LookupCopytool(const hsm_copytool_private* ct, CopytoolInfo& info)
{
    Slot* slot = Acquire(ct);
    if (!slot) return false;
    info = ct->info;
    Release(*slot);
    return true;
}

int CopytoolRegister(hsm_copytool_private** priv, const char* mnt, int archiveCount, const int* archives, int rfdFlags)
{
    // Lustre's order: the archive list, then the mount (opening it and its
    // .lustre/fid), then each archive id unless 0 asked for all of them.
    if (archiveCount > 0 && !archives) {
        PrintMessage("NULL archive numbers\n");
        return -EINVAL;
    }
    if (!priv || !mnt) return -EINVAL;
    bool all = archiveCount <= 0;
    for (int i = 0; i < archiveCount && !all; ++i) all = archives[i] == 0;
    if (access(mnt, F_OK) != 0) return -errno;
    Context ctx;
    Located loc;
    if (LoadContext(ctx)) loc = Locate(ctx.config, mnt);
    // Only a mount point has .lustre/fid, which registration opens.
    if (!loc.mount || !loc.rel.empty()) return -ENOENT;
    if (archiveCount < 0) return -EINVAL;
    std::vector<unsigned> ids;
    for (int i = 0; i < archiveCount && !all; ++i) {
        if (archives[i] < 0) {
            PrintMessage("%d requested when archive id >= 0 is supported\n", archives[i]);
            return -EINVAL;
        }
        ids.push_back(static_cast<unsigned>(archives[i]));
    }

    auto ct = std::make_unique<hsm_copytool_private>();
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return -errno;
    ct->wakeRead.Reset(pipeFds[0]);
    ct->wakeWrite.Reset(pipeFds[1]);
    ct->archives = ids;
    ct->archiveCount = static_cast<int>(ids.size());
    ct->nonblock = (rfdFlags & O_NONBLOCK) != 0;
    ct->info.fs = loc.mount->fs;
    ct->info.mountDir = loc.mountDir;
    ct->info.mount = mnt;
    ct->info.instance = loc.mount->instance;
    ct->info.id = std::to_string(getpid()) + "." + std::to_string(g_nextId++);
    SweepUnregistered();
    for (Slot& slot : g_slots) {
        hsm_copytool_private* empty = nullptr;
        if (slot.state.load() != 0 || !slot.ct.compare_exchange_strong(empty, ct.get())) continue;
        ct->unregisterEvent = std::make_unique<PreparedEvent>(RegistrationEvent(*ct, "UNREGISTER"));
        WriteEvent(RegistrationEvent(*ct, "REGISTER"));
        *priv = ct.release();
        return 0;
    }
    return -EMFILE;  // more live copytools than slots
}

int CopytoolUnregister(hsm_copytool_private** priv)
{
    // Called from signal handlers: no locks, no waiting.
    if (!priv) return -EINVAL;
    hsm_copytool_private* ct = *priv;
    Slot* slot = Acquire(ct);
    if (!slot) return -EINVAL;
    const unsigned before = slot->state.fetch_or(kDead);
    if (before & kDead) {  // another thread was first
        Release(*slot);
        return -EINVAL;
    }
    ct->shutdown = true;
    if (before == 1) {
        // No receive under way: the descriptors go now (close is safe in a
        // signal handler), the memory when a later registration sweeps it.
        ct->wakeRead.Reset();
        ct->wakeWrite.Reset();
    } else {
        char byte = 0;
        ssize_t n = write(ct->wakeWrite.Get(), &byte, 1);
        (void)n;  // a full pipe already wakes the receiver
    }
    ct->unregisterEvent->Write();
    *priv = nullptr;
    // A receive under way frees the copytool when it leaves; free() is no
    // call for a signal handler, so this one never does.
    slot->state.fetch_sub(1);
    return 0;
}

int CopytoolRecv(hsm_copytool_private* ct, hsm_action_list** hal, int* msgsize)
{
    Slot* slot = Acquire(ct);
    if (!slot) return -EINVAL;
    if (!hal || !msgsize) {
        Release(*slot);
        return -EINVAL;
    }
    long long rc;
    bool interrupted = false;
    for (;;) {
        if (ct->shutdown) {
            // On the thread a signal interrupted, Lustre's read gives EINTR.
            rc = interrupted ? -EINTR : -ESHUTDOWN;
            break;
        }
        rc = Take(*ct);
        if (rc != 0) break;
        if (ct->nonblock) {
            rc = -EAGAIN;
            break;
        }
        pollfd pfd{ct->wakeRead.Get(), POLLIN, 0};
        interrupted = poll(&pfd, 1, kPollMs) < 0 && errno == EINTR;
    }
    if (rc > 0) {
        *hal = reinterpret_cast<hsm_action_list*>(ct->buffer.data());
        *msgsize = static_cast<int>(rc);
        rc = 0;
    } else {
        *hal = nullptr;
        *msgsize = 0;
    }
    Release(*slot);
    return static_cast<int>(rc);
}

}  // namespace sim::lib
