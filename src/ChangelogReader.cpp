// The changelog reader: Lustre's changelog calls in-process, or lfs changelog
// streamed through a pipe, behind one class.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "ArgumentChecks.h"
#include "ChildProcess.h"
#include "Diagnostics.h"
#include "EntryPoints.h"
#include "KxUtils.h"
#include "LfsChangelog.h"
#include "LustreAPI.h"
#include "NidText.h"
#include "UniqueFd.h"

namespace LustreAPI {

using std::chrono::milliseconds;

namespace {

void AssignFid(CLustreFID& to, const lu_fid& from)
{
    to.m_seq = from.f_seq;
    to.m_oid = from.f_oid;
    to.m_ver = from.f_ver;
}

bool IsZero(const lu_fid& fid) { return fid.f_seq == 0 && fid.f_oid == 0 && fid.f_ver == 0; }

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
    if (extra & CLFE_NID) {
        char nid[common::kNidTextSize];
        out.m_nid.assign(nid, common::FormatNid(changelog_rec_nid(&rec)->cr_nid, nid));
    } else {
        out.m_nid.clear();
    }
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

}  // namespace

struct CChangelogReader::State {
    // Held by Open, Next and Close: Close waits for a Next in progress, which
    // it has woken through wake.
    std::mutex mutex;
    common::UniqueFd wake{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};

    std::string mdt;
    bool open = false;
    bool ended = false;
    bool follow = false;
    CKxError failure;  // once failed, Next repeats it

    // In-process: the calls checked when it opened.
    ChangelogCalls calls;
    void* priv = nullptr;
    int deviceFd = -1;

    // Through lfs.
    LfsChangelog lfs;

    bool InProcess() const { return priv != nullptr; }
    void Release();
    CKxError OpenInProcess(unsigned long long startRecord);
    // Waits until deviceFd is readable, until deadline (-1: no limit), or
    // until Close wakes it: 1 readable, 0 time out, -1 woken (closed).
    int Wait(long long deadline);
    CKxError NextInProcess(CChangelogRecord& record, long long deadline, LfsChangelog::Got& got);
};

void CChangelogReader::State::Release()
{
    if (priv) calls.fini(&priv);
    priv = nullptr;
    deviceFd = -1;
    lfs.Close();
    open = false;
}

CKxError CChangelogReader::State::OpenInProcess(unsigned long long startRecord)
{
    const int flags = CHANGELOG_FLAG_JOBID | CHANGELOG_FLAG_EXTRA_FLAGS | (follow ? CHANGELOG_FLAG_FOLLOW : 0);
    int rc = calls.start(&priv, static_cast<changelog_send_flag>(flags), mdt.c_str(), static_cast<long long>(startRecord));
    const char* call = "llapi_changelog_start";
    if (rc == 0) {
        call = "llapi_changelog_set_xflags";
        rc = calls.setXflags(priv, static_cast<changelog_send_extra_flag>(
                                       CHANGELOG_EXTRA_FLAG_UIDGID | CHANGELOG_EXTRA_FLAG_NID |
                                       CHANGELOG_EXTRA_FLAG_OMODE | CHANGELOG_EXTRA_FLAG_XATTR));
    }
    if (rc == 0) {
        call = "llapi_changelog_get_fd";
        rc = calls.getFd(priv);
        deviceFd = rc;
        // Waits happen in poll, with Close able to end them.
        const int fl = rc >= 0 ? fcntl(rc, F_GETFL) : -1;
        rc = rc < 0 ? rc : fl < 0 || fcntl(deviceFd, F_SETFL, fl | O_NONBLOCK) != 0 ? -errno : 0;
    }
    if (rc == 0) return CKxError();
    if (priv) calls.fini(&priv);
    priv = nullptr;
    deviceFd = -1;
    return CommandError(LAPI_LOCATION, "Cannot read the changelog of MDT %s: %s failed with Error %s (%d)", mdt.c_str(),
                        call, strerror(-rc), -rc);
}

int CChangelogReader::State::Wait(long long deadline)
{
    for (;;) {
        pollfd fds[2] = {{wake.Get(), POLLIN, 0}, {deviceFd, POLLIN, 0}};
        const int n = poll(fds, 2, common::PollTimeout(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (fds[0].revents) return -1;
        if (n == 0) return 0;
        return 1;  // readable, or a poll failure: the read that follows reports it
    }
}

CKxError CChangelogReader::State::NextInProcess(CChangelogRecord& record, long long deadline, LfsChangelog::Got& got)
{
    for (;;) {
        changelog_rec* rec = nullptr;
        const int rc = calls.recv(priv, &rec);
        if (rc == 0 && rec) {
            ToRecord(*rec, record);
            calls.release(&rec);
            got = LfsChangelog::Got::Record;
            return CKxError();
        }
        if (rc == 1) {
            got = LfsChangelog::Got::End;
            return CKxError();
        }
        if (rc != -EAGAIN && rc != -EWOULDBLOCK)
            return CommandError(LAPI_LOCATION,
                                "Cannot read the changelog of MDT %s: llapi_changelog_recv failed with Error %s (%d)",
                                mdt.c_str(), strerror(-rc), -rc);
        const int ready = Wait(deadline);
        if (ready < 0) {
            got = LfsChangelog::Got::Woken;
            return CKxError();
        }
        if (ready == 0) {
            got = LfsChangelog::Got::Nothing;
            return CKxError();
        }
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
        return RefusalError(LAPI_LOCATION, "The start record %llu is refused: it is beyond 9223372036854775807",
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
    s.failure = CKxError();

    if (s.calls.Load()) {
        CKxError error = s.OpenInProcess(startRecord);
        if (error.Failed()) return error;
        s.open = true;
        LogLine(LAPI_LOCATION, "Reading the changelog of MDT %s from record %llu in-process", mdt.c_str(), startRecord);
        return CKxError();
    }
    CKxError error = s.lfs.Start(__PRETTY_FUNCTION__, mdt, startRecord, follow);
    if (error.Failed()) return error;
    s.open = true;
    LogLine(LAPI_LOCATION, "Reading the changelog of MDT %s from record %llu with %s", mdt.c_str(), startRecord,
            s.lfs.Command().c_str());
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
    // Without follow a wait of 0 is no limit; a negative one is 0.
    const long long waitMs = std::max<long long>(0, wait.count());
    const long long deadline = s.follow || waitMs > 0 ? common::DeadlineAfter(waitMs) : -1;
    // In-process the record is only written when one came; through lfs a
    // record is read aside first, as its text may turn out not to be one.
    CChangelogRecord read;
    LfsChangelog::Got outcome = LfsChangelog::Got::Nothing;
    CKxError error = s.InProcess() ? s.NextInProcess(record, deadline, outcome)
                                   : s.lfs.Next(__PRETTY_FUNCTION__, read, deadline, s.wake.Get(), outcome);
    if (!error.Failed() && outcome == LfsChangelog::Got::Woken)
        error = CommandError(LAPI_LOCATION, "The changelog reader of MDT %s is closed", s.mdt.c_str());
    if (error.Failed()) {
        s.failure = error;
        return error;
    }
    switch (outcome) {
    case LfsChangelog::Got::Record:
        if (!s.InProcess()) record = std::move(read);
        got = true;
        break;
    case LfsChangelog::Got::End:
        s.ended = true;
        break;
    case LfsChangelog::Got::Nothing:
        // A following reader's wait may pass; without follow it is a time
        // limit, which fails this Next only.
        if (!s.follow)
            return TimeLimitError(LAPI_LOCATION,
                                "Reading the changelog of MDT %s: no record came within the wait of %lld ms",
                                s.mdt.c_str(), waitMs);
        break;
    case LfsChangelog::Got::Woken:
        break;
    }
    return CKxError();
}

int CChangelogReader::Descriptor() const
{
    if (!m_state || !m_state->open) return -1;
    return m_state->InProcess() ? m_state->deviceFd : m_state->lfs.Descriptor();
}

namespace {

// The record after the index of the reader changelogUser, from the MDT's
// listing of its readers.
CKxError FirstUnacknowledged(const std::string& host, const std::string& mdt, const std::string& fsName,
                             const std::string& user, const std::string& changelogUser,
                             std::chrono::milliseconds limit, unsigned long long& first)
{
    unsigned long long current = 0;
    std::vector<CChangelogUser> users;
    CKxError error = GetChangelogUsers(host, mdt, fsName, user, current, users, limit);
    if (error.Failed()) return error;
    const auto reader = std::find_if(users.begin(), users.end(),
                                     [&](const CChangelogUser& u) { return u.m_id == changelogUser; });
    if (reader == users.end())
        return CommandError(LAPI_LOCATION, "Cannot find the changelog reader %s in the MDT %s for Lustre FS %s",
                            changelogUser.c_str(), mdt.c_str(), fsName.c_str());
    first = reader->m_index + 1;  // Open refuses what lies beyond a signed 64-bit number
    return CKxError();
}

}  // namespace

CKxError CChangelogReader::OpenAtReader(const std::string& host, const std::string& mdt, const std::string& fsName,
                                        const std::string& user, const std::string& changelogUser, bool follow)
{
    return OpenAtReader(host, mdt, fsName, user, changelogUser, follow, std::chrono::milliseconds(0));
}

CKxError CChangelogReader::OpenAtReader(const std::string& host, const std::string& mdt, const std::string& fsName,
                                        const std::string& user, const std::string& changelogUser, bool follow,
                                        std::chrono::milliseconds timeLimit)
{
    CKxError refused = CheckCommandArguments(LAPI_LOCATION, {{"changelog user", changelogUser, ArgumentKind::Word, false}});
    if (refused.Failed()) return refused;
    Close();
    unsigned long long first = 0;
    CKxError error = FirstUnacknowledged(host, mdt, fsName, user, changelogUser, timeLimit, first);
    if (error.Failed()) return error;
    if (first == 0)
        return RefusalError(LAPI_LOCATION, "The changelog reader %s of MDT %s has acknowledged every record there can be",
                            changelogUser.c_str(), mdt.c_str());
    return Open(mdt, first, follow);
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
