// Changelog consumers: reading records, acknowledging them, and listing an
// MDT's readers.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "ArgumentChecks.h"
#include "ChangelogListing.h"
#include "ChangelogRecord.h"
#include "ChildProcess.h"
#include "CommandPath.h"
#include "Diagnostics.h"
#include "EntryPoints.h"
#include "KxUtils.h"
#include "LustreAPI.h"
#include "RecordFraming.h"

namespace LustreAPI {

// Inputs are spelled "const string&" and outputs "std::string&": that is how
// the function texts of this file's log lines and error locations read.
using string = std::string;
using std::chrono::milliseconds;

namespace {

constexpr milliseconds kNoLimit{0};

// The time left of a limit that ends at deadline (-1: none), for the next
// command: 0 without a limit, at least 1 ms otherwise.
milliseconds Left(long long deadline)
{
    if (deadline < 0) return kNoLimit;
    return milliseconds(std::max<long long>(1, deadline - common::MonotonicMs()));
}

// The records of an open reader up to last (0: no bound), appended to
// records; on failure records is left as it was. A limit ends at deadline.
CKxError ReadWith(CChangelogReader& reader, const char* function, const string& mdt, unsigned long long last,
                  std::vector<CChangelogRecord>& records, milliseconds limit, long long deadline)
{
    std::vector<CChangelogRecord> read;
    for (;;) {
        CChangelogRecord record;
        bool got = false;
        CKxError error = reader.Next(record, Left(deadline), got);
        if (error.Failed() && deadline >= 0 && common::MonotonicMs() >= deadline)
            error = TimeLimitError(LAPI_AT(function),
                                 "Reading the changelog of MDT %s in-process did not finish within its time limit of "
                                 "%lld ms",
                                 mdt.c_str(), static_cast<long long>(limit.count()));
        if (error.Failed()) {
            LogLine(LAPI_AT(function), "%s", error.GetMessages().back().c_str());
            return error;
        }
        if (!got || (last != 0 && record.m_index > last)) break;
        read.push_back(std::move(record));
    }
    records.insert(records.end(), std::make_move_iterator(read.begin()), std::make_move_iterator(read.end()));
    LogLine(LAPI_AT(function), "Read %zu changelog records of MDT %s", read.size(), mdt.c_str());
    return CKxError();
}

// The records lfs printed for command, as a changelog reader reads them,
// appended to records; lfs is asked again where its text cannot tell where
// a record ends. On failure records is left as it was.
CKxError ReadPrinted(const char* function, const string& mdt, const std::string& command, std::string& output,
                     unsigned long long first, unsigned long long last, long long deadline,
                     std::vector<CChangelogRecord>& records)
{
    const HBCodeLocation where = LAPI_AT(function);
    RecordFraming framing(command);
    framing.Append(output.data(), output.size());
    framing.SetEnded();
    output.clear();
    output.shrink_to_fit();
    std::vector<CChangelogRecord> read;
    for (;;) {
        const RecordFraming::Verdict verdict = framing.Look();
        if (verdict == RecordFraming::Verdict::End) break;
        if (verdict == RecordFraming::Verdict::Unreadable) return CommandError(where, "%s", framing.Problem().c_str());
        if (verdict != RecordFraming::Verdict::Record) {
            // lfs tells where the record ends when asked for it alone.
            const unsigned long long index = framing.FrontIndex();
            const std::string asked = HBString::Format("lfs changelog %s %llu %llu", mdt.c_str(), index, index);
            std::string answer;
            CKxError error = RunChecked(function, asked, Left(deadline), EmptyOutput::Allowed, answer);
            if (error.Failed()) return error;
            const bool printed = !answer.empty();
            if (printed && answer.back() == '\n') answer.pop_back();
            framing.ProveRecord(index, std::move(answer), printed, asked);
            continue;
        }
        const std::string_view text = framing.Text();
        read.emplace_back();
        if (!ReadChangelogRecordText(text.data(), text.size(), read.back()))
            return CommandError(where, "Cannot read the changelog record \"%s\" printed by %s",
                                QuoteForMessage(std::string(text)).c_str(), command.c_str());
        // lfs prints the records within the range only.
        const unsigned long long index = read.back().m_index;
        if (index < first || (last != 0 && index > last))
            return CommandError(where, "The changelog record \"%s\" printed by %s lies outside the range asked for",
                                QuoteForMessage(std::string(text)).c_str(), command.c_str());
        framing.Take();
    }
    records.insert(records.end(), std::make_move_iterator(read.begin()), std::make_move_iterator(read.end()));
    LogLine(where, "Read %zu changelog records of MDT %s", read.size(), mdt.c_str());
    return CKxError();
}

CKxError ReadRecords(const char* function, const string& mdt, const string& startRecord, const string& endRecord,
                     std::vector<CChangelogRecord>& records, milliseconds limit)
{
    CKxError refused = CheckCommandArguments(LAPI_AT(function),
                                             {{"MDT", mdt, ArgumentKind::Word, false},
                                              {"start record", startRecord, ArgumentKind::Number, endRecord.empty()},
                                              {"end record", endRecord, ArgumentKind::Number, true}});
    if (refused.Failed()) return refused;
    const long long deadline = limit.count() > 0 ? common::DeadlineAfter(limit.count()) : -1;

    // The range as lfs reads it: both are digits, or empty (0: no bound).
    const auto bound = [](const string& text) {
        unsigned long long value = 0;
        std::from_chars(text.data(), text.data() + text.size(), value);
        return value;
    };
    const unsigned long long first = bound(startRecord);
    const unsigned long long last = bound(endRecord);

    // In-process when Lustre's changelog calls are bound.
    ChangelogCalls calls;
    if (calls.Load()) {
        if (limit.count() < 0)
            return RefusalError(LAPI_AT(function),
                                "Reading the changelog of MDT %s is refused: its time limit of %lld ms is negative",
                                mdt.c_str(), static_cast<long long>(limit.count()));
        CChangelogReader reader;
        CKxError error = reader.Open(mdt, first, false);
        if (!error.Failed()) return ReadWith(reader, function, mdt, last, records, limit, deadline);
        LogLine(LAPI_AT(function), "%s", error.GetMessages().back().c_str());
        return error;
    }

    // An empty range prints nothing, and that is a success.
    const std::string command =
        HBString::Format("lfs changelog %s %s %s", mdt.c_str(), startRecord.c_str(), endRecord.c_str());
    std::string output;
    CKxError error = RunChecked(function, command, limit, EmptyOutput::Allowed, output);
    if (error.Failed()) return error;
    return ReadPrinted(function, mdt, command, output, first, last, deadline, records);
}

CKxError Clear(const char* function, const string& mdt, const string& changelogUser, const string& endRecord,
               milliseconds limit)
{
    // lfs reads any end record that is not a number as 0, "everything":
    // refused here, so that a typo never acknowledges unread records.
    CKxError refused =
        CheckCommandArguments(LAPI_AT(function), {{"MDT", mdt, ArgumentKind::Word, false},
                                                  {"changelog user", changelogUser, ArgumentKind::Word, false},
                                                  {"end record", endRecord, ArgumentKind::Number, false}});
    if (refused.Failed()) return refused;

    if (const auto clear = func_table.changelog_clear.load(std::memory_order_acquire)) {
        // The check above keeps endRecord within a long long.
        long long end = 0;
        std::from_chars(endRecord.data(), endRecord.data() + endRecord.size(), end);
        const int rc = clear(mdt.c_str(), changelogUser.c_str(), end);
        if (rc != 0) {
            const std::string text =
                HBString::Format("llapi_changelog_clear(%s, %s, %s) failed with Error %s (%d)", mdt.c_str(),
                                 changelogUser.c_str(), endRecord.c_str(), strerror(-rc), -rc);
            LogLine(LAPI_AT(function), "%s", text.c_str());
            return CommandError(LAPI_AT(function), "%s", text.c_str());
        }
    } else {
        const std::string command =
            HBString::Format("lfs changelog_clear %s %s %s", mdt.c_str(), changelogUser.c_str(), endRecord.c_str());
        std::string output;
        CKxError error = RunChecked(function, command, limit, EmptyOutput::Allowed, output);
        if (error.Failed()) return error;
    }
    LogLine(LAPI_AT(function), "The changelog reader %s at MDT %s acknowledged the records up to %s",
            changelogUser.c_str(), mdt.c_str(), endRecord.c_str());
    return CKxError();
}

CKxError ListUsers(const char* function, const string& host, const string& mdt, const string& fsName,
                   const string& user, unsigned long long& currentIndex, std::vector<CChangelogUser>& users,
                   milliseconds limit)
{
    std::list<std::string> lines;
    CKxError error = ReadChangelogUsers(
        function, host, mdt, user, limit,
        HBString::Format("Cannot get the changelog users of the MDT %s for Lustre FS %s", mdt.c_str(), fsName.c_str()),
        lines);
    if (error.Failed()) return error;

    const HBCodeLocation where = LAPI_AT(function);
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
            listed.back().m_name = ChangelogReaderName(listed.back().m_id);
            listed.back().m_mask = std::move(reader.mask);
            break;
        }
    }
    if (!indexFound)
        return CommandError(LAPI_AT(function), "Cannot get changelog current index from the MDT %s", mdt.c_str());
    LogLine(LAPI_AT(function), "The Current Index for Changelogs at MDT %s is %llu, with %zu changelog readers",
            mdt.c_str(), index, listed.size());
    currentIndex = index;
    users = std::move(listed);
    return CKxError();
}

}  // namespace

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
    return ReadRecords(__PRETTY_FUNCTION__, mdt, startRecord, endRecord, records, kNoLimit);
}

CKxError ReadChangelogs(const string& mdt, const string& startRecord, const string& endRecord,
                        std::vector<CChangelogRecord>& records, milliseconds timeLimit)
{
    return ReadRecords(__PRETTY_FUNCTION__, mdt, startRecord, endRecord, records, timeLimit);
}

CKxError ClearChangelog(const string& mdt, const string& changelogUser, const string& endRecord)
{
    return Clear(__PRETTY_FUNCTION__, mdt, changelogUser, endRecord, kNoLimit);
}

CKxError ClearChangelog(const string& mdt, const string& changelogUser, const string& endRecord, milliseconds timeLimit)
{
    return Clear(__PRETTY_FUNCTION__, mdt, changelogUser, endRecord, timeLimit);
}

CKxError GetChangelogUsers(const string& host, const string& mdt, const string& fsName, const string& user,
                           unsigned long long& currentIndex, std::vector<CChangelogUser>& users)
{
    return ListUsers(__PRETTY_FUNCTION__, host, mdt, fsName, user, currentIndex, users, kNoLimit);
}

CKxError GetChangelogUsers(const string& host, const string& mdt, const string& fsName, const string& user,
                           unsigned long long& currentIndex, std::vector<CChangelogUser>& users, milliseconds timeLimit)
{
    return ListUsers(__PRETTY_FUNCTION__, host, mdt, fsName, user, currentIndex, users, timeLimit);
}

}  // namespace LustreAPI
