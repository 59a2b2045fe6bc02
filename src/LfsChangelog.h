// A changelog read from "lfs changelog [--follow] <mdt> <start>" as it
// comes, record by record, for CChangelogReader where Lustre's changelog
// calls are not bound. Where the output alone cannot tell where a record
// ends (RecordFraming.h), lfs is asked for it without following: for the
// records from it on when a following reader's output stops before it can
// tell ("lfs changelog <mdt> N", asked once the output has been quiet for a
// moment), for the record alone otherwise ("lfs changelog <mdt> N N").
// Nothing here blocks but the waits Next is given; every process started is
// killed when the reading ends or this process does.
#pragma once
#include <string>

#include "CommandPath.h"
#include "HBError.h"
#include "LustreAPI.h"
#include "RecordFraming.h"
#include "UniqueFd.h"

namespace LustreAPI {

class LfsChangelog {
public:
    enum class Got { Record, Nothing, End, Woken };

    LfsChangelog() = default;
    LfsChangelog(const LfsChangelog&) = delete;
    LfsChangelog& operator=(const LfsChangelog&) = delete;

    // Starts lfs for mdt (a checked word) from record first; logs and fails
    // at function when it cannot.
    CKxError Start(const char* function, const std::string& mdt, unsigned long long first, bool follow);
    // The next record into record: Got::Record; Got::End once lfs has
    // ended with status 0 after its last record; Got::Nothing when deadline
    // (CLOCK_MONOTONIC ms, -1: none) passed first; Got::Woken when wakeFd
    // became readable first. Fails when lfs (or a question asked of it)
    // fails, or prints what is not a record following the last.
    CKxError Next(const char* function, CChangelogRecord& record, long long deadline, int wakeFd, Got& got);
    // Readable when Next may have something new: lfs's output, standard
    // error or end, an answer, or the moment to ask. -1 when not started.
    int Descriptor() const { return m_events.Get(); }
    const std::string& Command() const { return m_lfs.Command(); }
    void Close();

private:
    CKxError TakeIn(const char* function);
    CKxError Ask(const char* function, unsigned long long index, bool alone);
    CKxError Answered(const char* function);
    void Watch(const CommandStream& stream);
    void SetTimer(long long ms);

    std::string m_mdt;
    bool m_follow = false;
    CommandStream m_lfs;
    RecordFraming m_framing;
    long long m_lastOutput = 0;  // when lfs last printed, CLOCK_MONOTONIC ms

    // The question asked of lfs, while it runs.
    CommandStream m_ask;
    std::string m_answer;
    unsigned long long m_askedIndex = 0;
    bool m_askedAlone = false;
    // The record asked about from it on already: the next question about
    // it asks for it alone.
    bool m_askedFrom = false;
    unsigned long long m_askedFromIndex = 0;

    common::UniqueFd m_events;  // epoll: the streams' descriptors and the timer
    common::UniqueFd m_timer;   // timerfd: the moment to ask
};

}  // namespace LustreAPI
