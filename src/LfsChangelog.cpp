// A changelog streamed from lfs changelog: see LfsChangelog.h.
#include "LfsChangelog.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "ArgumentChecks.h"
#include "ChangelogRecord.h"
#include "ChildProcess.h"
#include "Diagnostics.h"
#include "KxUtils.h"

namespace LustreAPI {
namespace {

// How long a following reader's output stays quiet before lfs is asked
// where the records it holds end. The output of lfs comes line by line, a
// record's lines at once; a reader that is behind never waits this long.
constexpr long long kQuietMs = 100;

// Output read from one stream in one go, so that a fast lfs cannot keep Next
// from returning.
constexpr int kReadsAtOnce = 16;

}  // namespace

void LfsChangelog::Watch(const CommandStream& stream)
{
    int fds[3];
    const int count = stream.PollFds(fds);
    for (int i = 0; i < count; ++i) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fds[i];
        // A descriptor closed once its end was read leaves the set by itself.
        ::epoll_ctl(m_events.Get(), EPOLL_CTL_ADD, fds[i], &event);
    }
}

void LfsChangelog::SetTimer(long long ms)
{
    itimerspec when{};
    when.it_value.tv_sec = ms / 1000;
    when.it_value.tv_nsec = (ms % 1000) * 1000000;
    ::timerfd_settime(m_timer.Get(), 0, &when, nullptr);
}

CKxError LfsChangelog::Start(const char* function, const std::string& mdt, unsigned long long first, bool follow)
{
    Close();
    m_mdt = mdt;
    m_follow = follow;
    m_askedFrom = false;
    const std::string command =
        HBString::Format("lfs changelog %s%s %llu", follow ? "--follow " : "", mdt.c_str(), first);
    m_framing = RecordFraming(command);
    m_events.Reset(::epoll_create1(EPOLL_CLOEXEC));
    m_timer.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!m_events.Valid() || !m_timer.Valid()) {
        const char* what = m_events.Valid() ? "timerfd_create" : "epoll_create1";
        const int e = errno;
        Close();
        LogLine(LAPI_AT(function), "Command %s could not be started: %s: %s", command.c_str(), what, strerror(e));
        return CommandError(LAPI_AT(function), "Command %s could not be started: %s: %s", command.c_str(), what,
                            strerror(e));
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = m_timer.Get();
    ::epoll_ctl(m_events.Get(), EPOLL_CTL_ADD, m_timer.Get(), &event);
    CKxError error = m_lfs.Start(function, command);
    if (error.Failed()) {
        Close();
        return error;
    }
    Watch(m_lfs);
    m_lastOutput = common::MonotonicMs();
    return CKxError();
}

CKxError LfsChangelog::TakeIn(const char* function)
{
    uint64_t expirations = 0;
    while (::read(m_timer.Get(), &expirations, sizeof expirations) > 0) {
    }
    // Reads a stream's output until it has nothing more now. Its output has
    // ended once the command has ended and the output read after that: a
    // process it left behind may keep the pipe open without end.
    std::string chunk, failure;
    const auto drain = [&](CommandStream& stream, const auto& take) {
        for (int reads = 0; reads < kReadsAtOnce; ++reads) {
            const bool ended = stream.Ended();
            const CommandStream::Read read = stream.ReadOutput(chunk, failure);
            take(chunk);
            chunk.clear();
            if (!failure.empty() || read == CommandStream::Read::End) return true;
            if (read == CommandStream::Read::Nothing) return ended;
        }
        return false;
    };
    if (m_lfs.Started()) {
        const bool ended = drain(m_lfs, [&](const std::string& data) {
            if (data.empty() || m_framing.Ended()) return;
            m_framing.Append(data.data(), data.size());
            m_lastOutput = common::MonotonicMs();
        });
        if (!failure.empty())
            return CommandError(LAPI_AT(function), "Cannot read the output of %s: %s", Command().c_str(),
                                failure.c_str());
        if (ended) m_framing.SetEnded();
    }
    if (m_ask.Started()) {
        const bool ended = drain(m_ask, [&](const std::string& data) { m_answer += data; });
        if (!failure.empty())
            return CommandError(LAPI_AT(function), "Cannot read the output of %s: %s", m_ask.Command().c_str(),
                                failure.c_str());
        if (ended && m_ask.Ended()) return Answered(function);
    }
    return CKxError();
}

CKxError LfsChangelog::Ask(const char* function, unsigned long long index, bool alone)
{
    m_ask.Close();
    m_answer.clear();
    const std::string command = alone ? HBString::Format("lfs changelog %s %llu %llu", m_mdt.c_str(), index, index)
                                      : HBString::Format("lfs changelog %s %llu", m_mdt.c_str(), index);
    CKxError error = m_ask.Start(function, command);
    if (error.Failed()) return error;
    Watch(m_ask);
    m_askedIndex = index;
    m_askedAlone = alone;
    if (!alone) {
        m_askedFrom = true;
        m_askedFromIndex = index;
    }
    return CKxError();
}

CKxError LfsChangelog::Answered(const char* function)
{
    const std::string asked = m_ask.Command();
    CKxError error = m_ask.Finish(function);
    if (error.Failed()) return error;
    if (m_askedAlone) {
        std::string text = std::move(m_answer);
        const bool printed = !text.empty();
        if (printed && text.back() == '\n') text.pop_back();
        m_framing.ProveRecord(m_askedIndex, std::move(text), printed, asked);
    } else {
        RecordFraming answer(asked);
        answer.Append(m_answer.data(), m_answer.size());
        answer.SetEnded();
        m_framing.ProveRecords(answer);
    }
    m_answer.clear();
    return CKxError();
}

CKxError LfsChangelog::Next(const char* function, CChangelogRecord& record, long long deadline, int wakeFd, Got& got)
{
    got = Got::Nothing;
    // The records held already come first; the streams are read once they
    // are taken.
    for (bool takenIn = false;;) {
        const RecordFraming::Verdict verdict = m_framing.Look();
        if (!takenIn && verdict != RecordFraming::Verdict::Record && verdict != RecordFraming::Verdict::Unreadable) {
            CKxError error = TakeIn(function);
            if (error.Failed()) return error;
            takenIn = true;
            continue;
        }
        takenIn = false;
        CKxError error;
        switch (verdict) {
        case RecordFraming::Verdict::Record: {
            const std::string_view text = m_framing.Text();
            CChangelogRecord read;
            if (!ReadChangelogRecordText(text.data(), text.size(), read))
                return CommandError(LAPI_AT(function), "Cannot read the changelog record \"%s\" printed by %s",
                                    QuoteForMessage(std::string(text)).c_str(), Command().c_str());
            m_framing.Take();
            record = std::move(read);
            // A question about a record taken already needs no answer.
            if (m_ask.Started() && m_askedAlone && m_askedIndex <= record.m_index) m_ask.Close();
            got = Got::Record;
            return CKxError();
        }
        case RecordFraming::Verdict::Unreadable:
            return CommandError(LAPI_AT(function), "%s", m_framing.Problem().c_str());
        case RecordFraming::Verdict::End:
            if (m_lfs.Ended()) {
                error = m_lfs.Finish(function);
                if (error.Failed()) return error;
                got = Got::End;
                return CKxError();
            }
            break;
        case RecordFraming::Verdict::Ask:
        case RecordFraming::Verdict::More: {
            const unsigned long long front = m_framing.FrontIndex();
            if (m_ask.Started() || m_framing.Proven(front)) break;
            if (verdict == RecordFraming::Verdict::Ask) {
                error = Ask(function, front, true);
            } else if (m_follow && !m_framing.Ended()) {
                // Where a following reader's output has stopped, lfs asked
                // without following prints the records up to the end and
                // ends, which tells where they end.
                const long long quiet = m_lastOutput + kQuietMs - common::MonotonicMs();
                if (quiet > 0)
                    SetTimer(quiet);
                else
                    error = Ask(function, front, m_askedFrom && m_askedFromIndex == front);
            }
            if (error.Failed()) return error;
            break;
        }
        }
        pollfd fds[2] = {{m_events.Get(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, wakeFd >= 0 ? 2 : 1, common::PollTimeout(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0)
            return CommandError(LAPI_AT(function), "Cannot wait for the output of %s: poll: %s", Command().c_str(),
                                strerror(errno));
        if (wakeFd >= 0 && fds[1].revents) {
            got = Got::Woken;
            return CKxError();
        }
        if (ready == 0) return CKxError();
    }
}

void LfsChangelog::Close()
{
    m_ask.Close();
    m_lfs.Close();
    m_answer.clear();
    m_framing = RecordFraming();
    m_timer.Reset();
    m_events.Reset();
}

}  // namespace LustreAPI
