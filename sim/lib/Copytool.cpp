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
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "HsmStore.h"
#include "Message.h"
#include "Operations.h"
#include "SimState.h"
#include "UniqueFd.h"

struct hsm_copytool_private {
    sim::lib::CopytoolInfo info;
    std::vector<unsigned> archives;  // empty: every archive
    bool nonblock = false;
    common::UniqueFd wakeRead;
    common::UniqueFd wakeWrite;
    std::vector<unsigned long long> buffer;  // the last list handed out, 8-byte aligned
    std::atomic<bool> shutdown{false};
    int receivers = 0;  // guarded by the registry mutex
};

namespace sim::lib {
namespace {

// How often a waiting receive looks at the queue.
constexpr int kPollMs = 50;

struct Registry {
    std::mutex mutex;
    std::condition_variable idle;
    std::set<const hsm_copytool_private*> live;
    unsigned next = 1;
};

Registry& Copytools()
{
    static Registry* registry = new Registry;  // lives as long as the process
    return *registry;
}

bool OwnerAlive(const std::string& owner)
{
    long long pid;
    size_t dot = owner.find('.');
    if (dot == std::string::npos || !ParseI64(owner.substr(0, dot), pid) || pid <= 0) return false;
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
    Registry& r = Copytools();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.live.count(ct)) return false;
    info = ct->info;
    return true;
}

int CopytoolRegister(hsm_copytool_private** priv, const char* mnt, int archiveCount, const int* archives, int rfdFlags)
{
    if (archiveCount > 0 && !archives) {
        PrintMessage("NULL archive numbers\n");
        return -EINVAL;
    }
    if (!priv || !mnt || archiveCount < 0) return -EINVAL;
    std::vector<unsigned> ids;
    for (int i = 0; i < archiveCount; ++i) {
        if (archives[i] < 0) return -EINVAL;
        if (archives[i] == 0) {  // 0 anywhere: every archive
            ids.clear();
            break;
        }
        ids.push_back(static_cast<unsigned>(archives[i]));
    }
    Context ctx;
    if (access(mnt, F_OK) != 0) return -errno;
    Located loc;
    if (LoadContext(ctx)) loc = Locate(ctx.config, mnt);
    // Only a mount point has .lustre/fid, which registration opens.
    if (!loc.mount || !loc.rel.empty()) return -ENOENT;

    auto ct = std::make_unique<hsm_copytool_private>();
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return -errno;
    ct->wakeRead.Reset(pipeFds[0]);
    ct->wakeWrite.Reset(pipeFds[1]);
    ct->archives = ids;
    ct->nonblock = (rfdFlags & O_NONBLOCK) != 0;
    ct->info.fs = loc.mount->fs;
    ct->info.mountDir = loc.mountDir;
    Registry& r = Copytools();
    std::lock_guard<std::mutex> lock(r.mutex);
    ct->info.id = std::to_string(getpid()) + "." + std::to_string(r.next++);
    r.live.insert(ct.get());
    *priv = ct.release();
    return 0;
}

int CopytoolUnregister(hsm_copytool_private** priv)
{
    if (!priv || !*priv) return -EINVAL;
    hsm_copytool_private* ct = *priv;
    Registry& r = Copytools();
    {
        std::unique_lock<std::mutex> lock(r.mutex);
        if (!r.live.erase(ct)) return -EINVAL;
        ct->shutdown = true;
        char byte = 0;
        ssize_t n = write(ct->wakeWrite.Get(), &byte, 1);
        (void)n;  // a full pipe already wakes the receiver
        // A receive on another thread returns -ESHUTDOWN before ct goes.
        r.idle.wait(lock, [ct] { return ct->receivers == 0; });
    }
    delete ct;
    *priv = nullptr;
    return 0;
}

int CopytoolRecv(hsm_copytool_private* ct, hsm_action_list** hal, int* msgsize)
{
    if (!hal || !msgsize) return -EINVAL;
    Registry& r = Copytools();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (!r.live.count(ct)) return -EINVAL;
        ++ct->receivers;
    }
    long long rc;
    for (;;) {
        if (ct->shutdown) {
            rc = -ESHUTDOWN;
            break;
        }
        rc = Take(*ct);
        if (rc != 0) break;
        if (ct->nonblock) {
            rc = -EAGAIN;
            break;
        }
        pollfd pfd{ct->wakeRead.Get(), POLLIN, 0};
        poll(&pfd, 1, kPollMs);
    }
    if (rc > 0) {
        *hal = reinterpret_cast<hsm_action_list*>(ct->buffer.data());
        *msgsize = static_cast<int>(rc);
        rc = 0;
    }
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        --ct->receivers;
    }
    r.idle.notify_all();
    return static_cast<int>(rc);
}

}  // namespace sim::lib
