// The changelog reader: Lustre's changelog calls in-process, or lfs changelog
// streamed through a pipe, behind one class.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ArgumentChecks.h"
#include "ChangelogRecord.h"
#include "CommandPath.h"
#include "Diagnostics.h"
#include "EntryPoints.h"
#include "KxUtils.h"
#include "LustreAPI.h"
#include "UniqueFd.h"

namespace LustreAPI {

using std::chrono::milliseconds;

namespace {

// A line of lfs changelog holds at most two names, a job id and an xattr
// name; anything longer is not a record.
constexpr std::size_t kLongestLine = 64 * 1024;

// Lustre's network types as libcfs names them; the address of the first two
// is an IPv4 address, of the others a number.
struct NetType {
    unsigned type;
    const char* name;
};
const NetType kNetTypes[] = {{2, "tcp"}, {5, "o2ib"}, {9, "lo"}, {13, "gni"}, {16, "kfi"}};

void AssignFid(CLustreFID& to, const lu_fid& from)
{
    to.m_seq = from.f_seq;
    to.m_oid = from.f_oid;
    to.m_ver = from.f_ver;
}

bool IsZero(const lu_fid& fid) { return fid.f_seq == 0 && fid.f_oid == 0 && fid.f_ver == 0; }

// The NID as lfs prints it: "10.0.0.1@tcp", "0@lo", "5@gni1", "0@<0:0>".
void NidText(unsigned long long nid, std::string& text)
{
    const unsigned addr = static_cast<unsigned>(nid & 0xffffffffu);
    const unsigned net = static_cast<unsigned>(nid >> 32);
    const unsigned type = net >> 16, number = net & 0xffff;
    char buf[64];
    const NetType* known = nullptr;
    for (const NetType& t : kNetTypes)
        if (t.type == type) known = &t;
    int n;
    if (!known)
        n = snprintf(buf, sizeof buf, "%u@<%u:%u>", addr, type, number);
    else if (type == 2 || type == 5)
        n = snprintf(buf, sizeof buf, "%u.%u.%u.%u@%s", addr >> 24, addr >> 16 & 0xff, addr >> 8 & 0xff, addr & 0xff,
                     known->name);
    else
        n = snprintf(buf, sizeof buf, "%u@%s", addr, known->name);
    if (known && number != 0 && n > 0) n += snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), "%u", number);
    text.assign(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// The m= text of the open flags: "--x" for an exec open, otherwise r and w;
// nothing for "---", which lfs does not print.
void OpenModeText(unsigned flags, std::string& mode)
{
    constexpr unsigned kRead = 01, kWrite = 02, kExec = 04, kTrunc = 01000, kAppend = 02000;
    if (flags & kExec) return mode.assign("--x"), void();
    const bool read = flags & kRead, write = flags & (kWrite | kTrunc | kAppend);
    if (read || write) mode.assign({read ? 'r' : '-', write ? 'w' : '-', '-'});
}

// The record lfs would print for rec, as ParseChangelogRecord reads it.
// The record lfs would print for rec, as ParseChangelogRecord reads it.
// Every field is assigned: strings keep their capacity, so a record reused
// from one Next to the next costs no allocation.
void ToRecord(const changelog_rec& rec, CChangelogRecord& out)
{
    const unsigned flags = rec.cr_flags;
    const unsigned long long extra = flags & CLF_EXTRA_FLAGS ? changelog_rec_extra_flags(&rec)->cr_extra_flags : 0;
    out.m_index = rec.cr_index;
    out.m_type = static_cast<int>(rec.cr_type);
    const char* typeName = changelog_type2str(out.m_type);
    out.m_typeName.assign(typeName ? typeName : "");
    out.m_seconds = static_cast<long long>(rec.cr_time >> 30);
    out.m_nanoseconds = static_cast<unsigned>(rec.cr_time & ((1u << 30) - 1));
    out.m_flags = flags & CLF_FLAGMASK;
    AssignFid(out.m_target, rec.cr_tfid);
    const char* job = flags & CLF_JOBID ? changelog_rec_jobid(&rec)->cr_jobid : "";
    out.m_jobId.assign(job, strnlen(job, LUSTRE_JOBID_SIZE));
    out.m_extraFlags = extra;
    out.m_uid = extra & CLFE_UIDGID ? static_cast<long long>(changelog_rec_uidgid(&rec)->cr_uid) : -1;
    out.m_gid = extra & CLFE_UIDGID ? static_cast<long long>(changelog_rec_uidgid(&rec)->cr_gid) : -1;
    if (extra & CLFE_NID)
        NidText(changelog_rec_nid(&rec)->cr_nid, out.m_nid);
    else
        out.m_nid.clear();
    out.m_openMode.clear();
    if (extra & CLFE_OPEN) OpenModeText(changelog_rec_openmode(&rec)->cr_openflags, out.m_openMode);
    const char* xattr = extra & CLFE_XATTR ? changelog_rec_xattr(&rec)->cr_xattr : "";
    out.m_xattr.assign(xattr, strnlen(xattr, XATTR_NAME_MAX + 1));
    // Before the extra flags lfs printed the parent only with a name.
    static const lu_fid kZero{};
    AssignFid(out.m_parent, flags & CLF_EXTRA_FLAGS || rec.cr_namelen != 0 ? rec.cr_pfid : kZero);
    const char* name = changelog_rec_name(&rec);
    out.m_name.assign(name, strnlen(name, rec.cr_namelen));
    const bool renamed = (flags & CLF_RENAME) && !IsZero(changelog_rec_rename(&rec)->cr_sfid);
    AssignFid(out.m_source, renamed ? changelog_rec_rename(&rec)->cr_sfid : kZero);
    AssignFid(out.m_sourceParent, renamed ? changelog_rec_rename(&rec)->cr_spfid : kZero);
    if (renamed)
        out.m_sourceName.assign(changelog_rec_sname(&rec), changelog_rec_snamelen(&rec));
    else
        out.m_sourceName.clear();
}

long long NowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

struct CChangelogReader::State {
    // Held by Open, Next and Close: Close waits for a Next in progress, which
    // it has woken through m_wake.
    std::mutex mutex;
    common::UniqueFd wake{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};

    std::string mdt;
    bool open = false;
    bool ended = false;
    bool follow = false;
    CKxError failure;  // once failed, Next repeats it
    unsigned long long last = 0;
    bool any = false;  // a record was handed out: last is valid

    // In-process.
    void* priv = nullptr;
    int deviceFd = -1;

    // Through lfs.
    CommandStream lfs;
    std::string command;
    std::string pending;  // output not yet made into records
    bool outputEnded = false;

    bool InProcess() const { return priv != nullptr; }
    void Release();
    // Waits until fd is readable, until deadline (-1: no limit), or until
    // Close wakes it: 1 readable, 0 time out, -1 woken (closed).
    int Wait(int fd, int otherFd, long long deadline);
    CKxError NextInProcess(CChangelogRecord& record, long long deadline, bool& got);
    CKxError NextLine(CChangelogRecord& record, long long deadline, bool& got);
    CKxError TakeLine(std::size_t length, CChangelogRecord& record, bool& got);
};

void CChangelogReader::State::Release()
{
    if (priv) {
        if (const auto fini = func_table.changelog_fini.load(std::memory_order_acquire)) fini(&priv);
        priv = nullptr;
    }
    deviceFd = -1;
    lfs.Close();
    pending.clear();
    pending.shrink_to_fit();
    open = false;
}

int CChangelogReader::State::Wait(int fd, int otherFd, long long deadline)
{
    for (;;) {
        const long long left = deadline < 0 ? -1 : std::max(0LL, deadline - NowMs());
        pollfd fds[3] = {{wake.Get(), POLLIN, 0}, {fd, POLLIN, 0}, {otherFd, POLLIN, 0}};
        const int n = poll(fds, otherFd >= 0 ? 3 : 2, static_cast<int>(std::min<long long>(left, 1 << 30)));
        if (n < 0 && errno == EINTR) continue;
        if (fds[0].revents) return -1;
        if (n > 0) return 1;
        if (n == 0) return 0;
        return 1;  // a poll failure: the read that follows reports it
    }
}

CKxError CChangelogReader::State::NextInProcess(CChangelogRecord& record, long long deadline, bool& got)
{
    const auto recv = func_table.changelog_recv.load(std::memory_order_acquire);
    const auto release = func_table.changelog_free.load(std::memory_order_acquire);
    for (;;) {
        changelog_rec* rec = nullptr;
        const int rc = recv(priv, &rec);
        if (rc == 0 && rec) {
            ToRecord(*rec, record);
            release(&rec);
            got = true;
            return CKxError();
        }
        if (rc == 1) {
            ended = true;
            return CKxError();
        }
        if (rc != -EAGAIN && rc != -EWOULDBLOCK)
            return CommandError(LAPI_LOCATION,
                                "Cannot read the changelog of MDT %s: llapi_changelog_recv failed with Error %s (%d)",
                                mdt.c_str(), strerror(-rc), -rc);
        const int ready = Wait(deviceFd, -1, deadline);
        if (ready < 0) return CommandError(LAPI_LOCATION, "The changelog reader of MDT %s is closed", mdt.c_str());
        if (ready == 0) return CKxError();
    }
}

CKxError CChangelogReader::State::TakeLine(std::size_t length, CChangelogRecord& record, bool& got)
{
    const std::string line = pending.substr(0, length);
    pending.erase(0, std::min(pending.size(), length + 1));
    if (line.empty()) return CKxError();
    CChangelogRecord read;
    if (!ReadChangelogRecordText(line.data(), line.size(), read))
        return CommandError(LAPI_LOCATION, "Cannot read the changelog record \"%s\" printed by %s",
                            QuoteForMessage(line).c_str(), command.c_str());
    // lfs prints records in rising order; a line that breaks it is not the
    // record it looks like (a file name with a line break can print one).
    if (any && read.m_index <= last)
        return CommandError(LAPI_LOCATION, "The changelog record \"%s\" printed by %s does not follow record %llu",
                            QuoteForMessage(line).c_str(), command.c_str(), last);
    record = std::move(read);
    got = true;
    return CKxError();
}

CKxError CChangelogReader::State::NextLine(CChangelogRecord& record, long long deadline, bool& got)
{
    for (;;) {
        const std::size_t end = pending.find('\n');
        if (end != std::string::npos) {
            CKxError error = TakeLine(end, record, got);
            if (error.Failed() || got) return error;
            continue;
        }
        if (pending.size() > kLongestLine)
            return CommandError(LAPI_LOCATION, "The output of %s holds a line longer than %zu bytes", command.c_str(),
                                kLongestLine);
        if (outputEnded) {
            // A last line without its line end is still a record.
            if (!pending.empty()) return TakeLine(pending.size(), record, got);
            CKxError error = lfs.Finish(__PRETTY_FUNCTION__);
            if (error.Failed()) return error;
            ended = true;
            return CKxError();
        }
        std::string failure;
        const CommandStream::Read read = lfs.ReadOutput(pending, failure);
        if (!failure.empty())
            return CommandError(LAPI_LOCATION, "Cannot read the output of %s: %s", command.c_str(), failure.c_str());
        if (read == CommandStream::Read::End) outputEnded = true;
        if (read != CommandStream::Read::Nothing) continue;
        const int ready = Wait(lfs.OutputFd(), lfs.ErrorFd(), deadline);
        if (ready < 0) return CommandError(LAPI_LOCATION, "The changelog reader of MDT %s is closed", mdt.c_str());
        if (ready == 0) return CKxError();
    }
}

CChangelogReader::CChangelogReader() : m_state(new State) {}

CChangelogReader::~CChangelogReader()
{
    if (!m_state) return;
    Close();
    delete m_state;
}

CChangelogReader::CChangelogReader(CChangelogReader&& other) noexcept : m_state(other.m_state)
{
    other.m_state = nullptr;
}

CChangelogReader& CChangelogReader::operator=(CChangelogReader&& other) noexcept
{
    if (this == &other) return *this;
    if (m_state) {
        Close();
        delete m_state;
    }
    m_state = other.m_state;
    other.m_state = nullptr;
    return *this;
}

CKxError CChangelogReader::Open(const std::string& mdt, unsigned long long startRecord, bool follow)
{
    if (!m_state) m_state = new State;
    CKxError refused = CheckCommandArguments(LAPI_LOCATION, {{"MDT", mdt, ArgumentKind::Word, false}});
    if (refused.Failed()) return refused;
    if (startRecord > static_cast<unsigned long long>(INT64_MAX))
        return CommandError(LAPI_LOCATION, "The start record %llu is refused: it is beyond 9223372036854775807",
                            startRecord);
    Close();
    State& s = *m_state;
    const std::lock_guard<std::mutex> lock(s.mutex);
    // A wake-up left by an earlier Close must not end the first wait.
    uint64_t drained;
    while (read(s.wake.Get(), &drained, sizeof drained) > 0) {
    }
    s.mdt = mdt;
    s.follow = follow;
    s.ended = false;
    s.any = false;
    s.failure = CKxError();
    s.outputEnded = false;

    const auto start = func_table.changelog_start.load(std::memory_order_acquire);
    const auto getFd = func_table.changelog_get_fd.load(std::memory_order_acquire);
    const auto setXflags = func_table.changelog_set_xflags.load(std::memory_order_acquire);
    if (ChangelogReaderBound()) {
        const int flags = CHANGELOG_FLAG_JOBID | CHANGELOG_FLAG_EXTRA_FLAGS | (follow ? CHANGELOG_FLAG_FOLLOW : 0);
        int rc =
            start(&s.priv, static_cast<changelog_send_flag>(flags), mdt.c_str(), static_cast<long long>(startRecord));
        const char* call = "llapi_changelog_start";
        if (rc == 0) {
            call = "llapi_changelog_set_xflags";
            rc = setXflags(s.priv, static_cast<changelog_send_extra_flag>(
                                       CHANGELOG_EXTRA_FLAG_UIDGID | CHANGELOG_EXTRA_FLAG_NID |
                                       CHANGELOG_EXTRA_FLAG_OMODE | CHANGELOG_EXTRA_FLAG_XATTR));
        }
        if (rc == 0) {
            call = "llapi_changelog_get_fd";
            rc = getFd(s.priv);
            s.deviceFd = rc;
            // Waits happen in poll, with Close able to end them.
            const int fl = rc >= 0 ? fcntl(rc, F_GETFL) : -1;
            rc = rc < 0 ? rc : fl < 0 || fcntl(s.deviceFd, F_SETFL, fl | O_NONBLOCK) != 0 ? -errno : 0;
        }
        if (rc != 0) {
            if (s.priv) func_table.changelog_fini.load()(&s.priv);
            s.priv = nullptr;
            s.deviceFd = -1;
            return CommandError(LAPI_LOCATION, "Cannot read the changelog of MDT %s: %s failed with Error %s (%d)",
                                mdt.c_str(), call, strerror(-rc), -rc);
        }
        s.open = true;
        LogLine(LAPI_LOCATION, "Reading the changelog of MDT %s from record %llu in-process", mdt.c_str(), startRecord);
        return CKxError();
    }
    s.command = HBString::Format("lfs changelog %s%s %llu", follow ? "--follow " : "", mdt.c_str(), startRecord);
    CKxError error = s.lfs.Start(__PRETTY_FUNCTION__, s.command);
    if (error.Failed()) return error;
    s.open = true;
    LogLine(LAPI_LOCATION, "Reading the changelog of MDT %s from record %llu with %s", mdt.c_str(), startRecord,
            s.command.c_str());
    return CKxError();
}

CKxError CChangelogReader::Next(CChangelogRecord& record, milliseconds wait, bool& got)
{
    got = false;
    if (!m_state) return CommandError(LAPI_LOCATION, "The changelog reader is not open");
    State& s = *m_state;
    const std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.open) return CommandError(LAPI_LOCATION, "The changelog reader is not open");
    if (s.failure.Failed()) return s.failure;
    if (s.ended) return CKxError();
    const long long deadline = s.follow ? NowMs() + std::max<long long>(0, wait.count()) : -1;
    // In-process the record is only written when one came; a line is read
    // aside first, as it may turn out not to be a record.
    CChangelogRecord read;
    CKxError error = s.InProcess() ? s.NextInProcess(record, deadline, got) : s.NextLine(read, deadline, got);
    if (error.Failed()) {
        got = false;
        s.failure = error;
        return error;
    }
    if (!got) return CKxError();
    if (!s.InProcess()) record = std::move(read);
    s.last = record.m_index;
    s.any = true;
    return CKxError();
}

int CChangelogReader::Descriptor() const
{
    if (!m_state || !m_state->open) return -1;
    return m_state->InProcess() ? m_state->deviceFd : m_state->lfs.OutputFd();
}

CKxError CChangelogReader::Close()
{
    if (!m_state) return CKxError();
    State& s = *m_state;
    // Ends a Next waiting on another thread, then waits for it to return.
    const uint64_t one = 1;
    if (write(s.wake.Get(), &one, sizeof one) < 0) {
        // Only a full counter fails, and then a wake-up is pending anyway.
    }
    const std::lock_guard<std::mutex> lock(s.mutex);
    s.Release();
    return CKxError();
}

bool CChangelogReader::InProcess() const { return m_state && m_state->open && m_state->InProcess(); }

}  // namespace LustreAPI
