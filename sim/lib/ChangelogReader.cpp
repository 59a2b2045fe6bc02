// Changelog readers (llapi_changelog_start, _recv, ...) over the stand-in's
// changelog store, as a 2.10+ client reads /dev/changelog-<MDT>: the device
// is a SOCK_SEQPACKET pair whose far end a feeder thread (the device's reader
// thread) fills with messages of whole records, at most 4096 bytes each. So
// a read returns whole records, O_NONBLOCK gives EAGAIN on an empty queue,
// EOF is the feeder shutting its end, poll shows POLLIN and POLLHUP, and
// memory is bounded by the socket's buffer whatever the changelog's length.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "ChangelogClear.h"
#include "ChangelogFeed.h"
#include "Message.h"
#include "Operations.h"
#include "SimState.h"
#include "ToolContext.h"
#include "UniqueFd.h"

namespace sim::lib {
namespace {

constexpr size_t kDeviceBuffer = 4096;      // the library's read size; a message never exceeds it
constexpr int kErrorMessage = sizeof(int);  // a message of one int: the device's read error
constexpr int kFollowPollMs = 50;           // how often a following feeder looks at the store
constexpr size_t kStoreBatch = 256;         // records read from the store at a time

struct Reader {
    common::UniqueFd device;  // the reader's end: what llapi_changelog_get_fd returns
    common::UniqueFd feed;    // the feeder's end
    common::UniqueFd stop;    // eventfd: fini asks the feeder to stop
    std::thread feeder;
    int flags = 0;  // as start was asked, less what the imitated version does not know
    std::atomic<unsigned> xflags{0};
    alignas(8) char buffer[kDeviceBuffer];
    size_t length = 0;
    size_t position = 0;
};

std::mutex g_readersMutex;
std::set<const void*> g_readers;  // live handles: any other pointer is a bad handle

bool Live(const void* priv)
{
    std::lock_guard<std::mutex> lock(g_readersMutex);
    return priv && g_readers.count(priv) != 0;
}

// Sends one message, waiting for room; false once stop is signalled or the
// reader's end is gone.
bool Send(Reader& r, const void* data, size_t size)
{
    for (;;) {
        if (send(r.feed.Get(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return true;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        pollfd fds[2] = {{r.feed.Get(), POLLOUT, 0}, {r.stop.Get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
        if (fds[1].revents) return false;
    }
}

// Waits up to ms for stop; true when it came.
bool Stopped(const Reader& r, int ms)
{
    pollfd fd = {r.stop.Get(), POLLIN, 0};
    return poll(&fd, 1, ms) > 0;
}

// The records come from the MDT: while its server does not answer
// ("lustre-sim hang"), none come, as none reach a client's device then.
void Feed(Reader& r, Context lib, std::string mdt, uint64_t next)
{
    const bool follow = r.flags & CHANGELOG_FLAG_FOLLOW;
    next = std::max<uint64_t>(next, 1);  // records are numbered from 1
    alignas(8) char batch[kDeviceBuffer];
    ChangelogSource source;
    std::string error;
    bool fine = source.Open(lib.stateDir, mdt, error);
    while (fine) {
        while (ServerHung(lib, mdt))
            if (Stopped(r, kFollowPollMs)) return;
        size_t used = 0, count = 0;
        bool open = true;
        fine = source.Read(
            next, kStoreBatch,
            [&](const changelog_rec& rec) {
                const size_t size = changelog_rec_size(&rec) + rec.cr_namelen;
                if (open && used + size > sizeof batch) {
                    open = Send(r, batch, used);
                    used = 0;
                }
                memcpy(batch + used, &rec, size);
                used += size;
                next = rec.cr_index + 1;
            },
            count, error);
        if (open && used > 0) open = Send(r, batch, used);
        if (!open) return;
        if (!fine || count == kStoreBatch) continue;
        if (!follow) break;
        // At the end of the log a following reader waits for new records.
        for (uint64_t index = 0;;) {
            if (Stopped(r, kFollowPollMs)) return;
            fine = source.CurrentIndex(index, error);
            if (!fine || index >= next) break;
        }
    }
    if (!fine) {
        // The device reports a log it cannot load from the next read.
        const int rc = -EIO;
        Send(r, &rc, kErrorMessage);
    }
    shutdown(r.feed.Get(), SHUT_WR);
}

}  // namespace

int ChangelogStart(void** priv, int flags, const char* mdtname, long long startrec)
{
    if (!priv || !mdtname) return -EINVAL;
    // Once per process, as Lustre warns readers that will miss fields.
    static std::atomic<bool> warnedExtra{false}, warnedJobid{false};
    if (!(flags & CHANGELOG_FLAG_EXTRA_FLAGS) && !warnedExtra.exchange(true))
        PrintMessage("warning: llapi_changelog_start() called without CHANGELOG_FLAG_EXTRA_FLAGS\n");
    if (!(flags & CHANGELOG_FLAG_JOBID) && !warnedJobid.exchange(true))
        PrintMessage("warning: llapi_changelog_start() called without CHANGELOG_FLAG_JOBID\n");

    if (strlen("/dev/changelog-") + strlen(mdtname) >= PATH_MAX) return -EOVERFLOW;
    Context lib;
    ToolContext ctx;
    if (!LoadContext(lib) || !LustreVersion::Parse(lib.config.version, ctx.version)) return -ENOENT;
    ctx.stateDir = lib.stateDir;
    ctx.config = lib.config;
    const char* host = getenv("LUSTRE_SIM_HOST");
    ctx.host = host ? host : "";
    // The device exists on a client with the file system mounted.
    if (!ctx.IsMountedMdt(mdtname) || !ctx.ModulesLoaded()) return -ENOENT;
    // The device seeks to startrec and refuses to go backwards.
    if (startrec < 0) return -EINVAL;

    auto reader = std::make_unique<Reader>();
    // Before 2.11 Lustre's library knows no extra flags: the records lose the
    // extra-flags word the store keeps, as that MDT never wrote one.
    reader->flags = ctx.version.ExtraFlags() ? flags : flags & ~CHANGELOG_FLAG_EXTRA_FLAGS;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return -errno;
    reader->device = common::UniqueFd(ends[0]);
    reader->feed = common::UniqueFd(ends[1]);
    reader->stop = common::UniqueFd(eventfd(0, EFD_CLOEXEC));
    if (!reader->stop.Valid()) return -errno;
    try {
        Context feedContext;
        feedContext.stateDir = lib.stateDir;
        feedContext.config = lib.config;
        reader->feeder = std::thread(Feed, std::ref(*reader), std::move(feedContext), std::string(mdtname),
                                     static_cast<uint64_t>(startrec));
    } catch (const std::system_error& e) {
        return -e.code().value();
    }
    {
        std::lock_guard<std::mutex> lock(g_readersMutex);
        g_readers.insert(reader.get());
    }
    *priv = reader.release();
    return 0;
}

int ChangelogRecv(void* priv, changelog_rec** rech)
{
    if (!rech || !Live(priv)) return -EINVAL;
    *rech = nullptr;
    auto& r = *static_cast<Reader*>(priv);
    if (r.position >= r.length) {
        ssize_t n;
        do {
            n = read(r.device.Get(), r.buffer, sizeof r.buffer);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return -errno;
        if (n == 0) return 1;
        if (n == kErrorMessage) {
            int rc;
            memcpy(&rc, r.buffer, sizeof rc);
            return rc;
        }
        r.length = static_cast<size_t>(n);
        r.position = 0;
    }
    // Records follow one another unaligned: each is read from an aligned copy.
    alignas(8) char raw[CR_MAXSIZE];
    memcpy(raw, r.buffer + r.position, std::min(sizeof raw, r.length - r.position));
    const auto* in = reinterpret_cast<const changelog_rec*>(raw);
    auto* out = static_cast<changelog_rec*>(malloc(CR_MAXSIZE));
    if (!out) return -ENOMEM;
    const size_t size = changelog_rec_size(in) + in->cr_namelen;
    r.position += size;
    memcpy(out, in, size);
    // Laid out in the parts the reader asked for, as Lustre's library does:
    // VERSION and RENAME always, JOBID and the extra parts when asked.
    unsigned wanted = CLF_VERSION | CLF_RENAME, xwanted = 0;
    if (r.flags & CHANGELOG_FLAG_JOBID) wanted |= CLF_JOBID;
    if (r.flags & CHANGELOG_FLAG_EXTRA_FLAGS) {
        wanted |= CLF_EXTRA_FLAGS;
        xwanted = r.xflags.load() & CLFE_SUPPORTED;
    }
    changelog_remap_rec(out, static_cast<enum changelog_rec_flags>(wanted),
                        static_cast<enum changelog_rec_extra_flags>(xwanted));
    *rech = out;
    return 0;
}

int ChangelogFree(changelog_rec** rech)
{
    if (!rech) return -EINVAL;
    free(*rech);
    *rech = nullptr;
    return 0;
}

int ChangelogFini(void** priv)
{
    if (!priv || !Live(*priv)) return -EINVAL;
    auto* r = static_cast<Reader*>(*priv);
    {
        std::lock_guard<std::mutex> lock(g_readersMutex);
        g_readers.erase(r);
    }
    const uint64_t one = 1;
    if (write(r->stop.Get(), &one, sizeof one) < 0) {
        // An eventfd write fails only on overflow, which one write cannot cause.
    }
    r->feeder.join();
    delete r;
    *priv = nullptr;
    return 0;
}

int ChangelogInBuf(void* priv)
{
    const auto* r = static_cast<const Reader*>(priv);
    return r && r->position < r->length ? 1 : 0;
}

int ChangelogGetFd(void* priv) { return Live(priv) ? static_cast<Reader*>(priv)->device.Get() : -EINVAL; }

int ChangelogSetXflags(void* priv, unsigned extraFlags)
{
    if (!Live(priv)) return -EINVAL;
    if (!(extraFlags & CHANGELOG_EXTRA_FLAG_UIDGID)) {
        static std::atomic<bool> warned{false};
        if (!warned.exchange(true))
            PrintMessage("warning: llapi_changelog_set_xflags() called without CHANGELOG_EXTRA_FLAG_UIDGID\n");
    }
    static_cast<Reader*>(priv)->xflags = extraFlags;
    return 0;
}

int ChangelogClear(const char* mdtname, const char* idstr, long long endrec)
{
    if (!mdtname || !idstr) return -EINVAL;
    Context lib;
    ToolContext ctx;
    if (!LoadContext(lib) || !LustreVersion::Parse(lib.config.version, ctx.version)) return -ENOENT;
    ctx.stateDir = lib.stateDir;
    ctx.config = lib.config;
    ctx.tool = program_invocation_short_name;
    // Lustre's library names the program (and the command lfs set) in its
    // messages from 2.12 on.
    const std::string prefix = ctx.version.AtLeast(12) ? MessagePrefix() : std::string();
    // The MDT clears its records.
    WaitForServer(lib, mdtname);
    return ClearChangelogRecords(ctx, mdtname, idstr, endrec, prefix);
}

}  // namespace sim::lib
