// The changelog operations against scripted runner replies, and the record
// and changelog_users readers on every format Lustre prints: transcripts
// (DataFiles.h) in data/operations.txt, records.txt and users.txt. A step is
// an operation and its arguments ('' an empty argument), the scripted
// replies are the runner's; the expected output says what the operation
// did: "ran" and the last command line (or "ran nothing"), "out" and its
// outputs, each set to "before" on entry, "error" and each message with its
// system error and function, "log" and each log line, "\n" and "\r" written
// as such. The real shell and tools run in StandInChainTest.
#include <sstream>

#include <gtest/gtest.h>

#include "DataFiles.h"
#include "FakeZqProcess.h"
#include "KxUtils.h"
#include "LustreAPI.h"

using namespace testsupport;

namespace {

// text with line ends written as \n and \r, a final blank as \x20, and '' when empty.
std::string Escaped(const std::string& text)
{
    std::string out = text.empty() ? "''" : "";
    for (char c : text) out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    if (out.back() == ' ') out.replace(out.size() - 1, 1, "\\x20");
    return out;
}

template <typename List>
std::string Joined(const List& items, const char* separator = " , ")
{
    std::string out;
    for (const auto& item : items) out += (&item == &*items.begin() ? "" : separator) + Escaped(item);
    return out;
}

// The values of a record as "key=value", the fields it does not carry left out.
std::vector<std::string> Fields(const LustreAPI::CChangelogRecord& r)
{
    const auto fid = [](const LustreAPI::CLustreFID& f) { return f != LustreAPI::CLustreFID() ? f.Text() : ""; };
    std::vector<std::string> out{"index=" + std::to_string(r.m_index),
                                 "type=" + std::to_string(r.m_type) + (r.m_typeName.empty() ? "" : " " + r.m_typeName),
                                 HBString::Format("time=%lld.%09u", r.m_seconds, r.m_nanoseconds),
                                 HBString::Format("flags=0x%x", r.m_flags)};
    const std::pair<const char*, std::string> optional[] = {
        {"t=", fid(r.m_target)},
        {"j=", r.m_jobId},
        {"ef=", r.m_extraFlags ? HBString::Format("0x%llx", r.m_extraFlags) : ""},
        {"u=", r.m_uid != -1 || r.m_gid != -1 ? HBString::Format("%lld:%lld", r.m_uid, r.m_gid) : ""},
        {"nid=", r.m_nid},
        {"m=", r.m_openMode},
        {"x=", r.m_xattr},
        {"p=", fid(r.m_parent)},
        {"name=", r.m_name},
        {"s=", fid(r.m_source)},
        {"sp=", fid(r.m_sourceParent)},
        {"sname=", r.m_sourceName}};
    for (const auto& [key, value] : optional)
        if (!value.empty()) out.push_back(key + value);
    return out;
}

// Runs the operation of an "op" line; returns its outputs. "current" takes a
// time limit in ms after its four values.
std::vector<std::string> Call(const std::vector<std::string>& a, CKxError& error)
{
    std::string o1 = "before", o2 = "before";
    const std::string& op = a.at(0);
    if (op == "run") {
        std::list<std::string> lines{"before"};
        error = LustreAPI::RunCommand(a.at(1), lines);
        return {Joined(lines)};
    }
    if (op == "mdts") {
        std::vector<std::string> names{"before"}, servers{"before"};
        error = LustreAPI::GetMDTList(a.at(1), names, servers);
        return {Joined(names), Joined(servers)};
    }
    if (op == "changelogs") error = LustreAPI::GetChangelogs(a.at(1), "ignored; x", a.at(2), a.at(3), a.at(4));
    if (op == "clear") error = LustreAPI::ClearChangelog(a.at(1), a.at(2), a.at(3));
    if (op == "read") {
        std::vector<LustreAPI::CChangelogRecord> records(1);
        error = LustreAPI::ReadChangelogs(a.at(1), a.at(2), a.at(3), records);
        std::string indexes;
        std::vector<std::string> names;
        for (const auto& r : records) {
            indexes += (indexes.empty() ? "" : " ") + std::to_string(r.m_index);
            names.push_back(r.m_name);
        }
        return {indexes, Joined(names)};
    }
    if (op == "users") {
        unsigned long long current = 7;
        std::vector<LustreAPI::CChangelogUser> users(1);
        users[0].m_id = "before";
        error = LustreAPI::GetChangelogUsers(a.at(1), a.at(2), a.at(3), a.at(4), current, users);
        std::vector<std::string> out{std::to_string(current)};
        for (const auto& u : users)
            out.push_back(HBString::Format("%s %llu %lld %s", u.m_id.c_str(), u.m_index, u.m_idleSeconds,
                                           u.m_mask.empty() ? "-" : u.m_mask.c_str()));
        return out;
    }
    if (op == "parse") {
        LustreAPI::CChangelogRecord r;
        r.m_index = 424242;
        r.m_name = "before";
        error = LustreAPI::ParseChangelogRecord(a.at(1), r);
        return Fields(r);
    }
    if (op == "register") error = LustreAPI::RegisterChangelog(a.at(1), a.at(2), a.at(3), a.at(4), o1);
    if (op == "deregister") {
        o1 = a.at(5);
        error = LustreAPI::DeRegisterChangelog(a.at(1), a.at(2), a.at(3), a.at(4), o1);
    }
    if (op == "current" && a.size() > 5)
        error = LustreAPI::GetChangelogCurrentIndex(a.at(1), a.at(2), a.at(3), a.at(4), o1,
                                                    std::chrono::milliseconds(std::stoll(a.at(5))));
    else if (op == "current")
        error = LustreAPI::GetChangelogCurrentIndex(a.at(1), a.at(2), a.at(3), a.at(4), o1);
    if (op == "startend")
        error = LustreAPI::GetStartAndEndChangelogRecordNumbers(a.at(1), a.at(2), a.at(3), a.at(4), a.at(5), o1, o2);
    return {o1, o2};
}

// Runs an operation with its scripted replies; its outcome's output lines
// say what it did.
Outcome Play(const TranscriptStep& step)
{
    std::vector<std::string> args;
    std::istringstream words(step.command);
    for (std::string word; words >> word;) args.push_back(word == "''" ? "" : word);
    // The command line or record text: the rest of the line as it is.
    if (args.at(0) == "run" || args.at(0) == "parse")
        args = {args[0], step.command.substr(std::min(step.command.size(), 1 + args[0].size()))};
    for (const TranscriptStep::Reply& r : step.replies) {
        if (r.command.empty())
            zq_fake_set_reply(r.status, r.out.data(), r.out.size(), r.err.data(), r.err.size());
        else
            zq_fake_set_reply_for(r.command.c_str(), r.status, r.out.data(), r.out.size(), r.err.data(), r.err.size());
    }
    CapturingLogWriter log;
    const unsigned long calls = zq_fake_call_count();
    CKxError error;
    const std::vector<std::string> outputs = Call(args, error);
    Outcome result;
    result.status = 0;
    result.out = zq_fake_call_count() == calls ? "ran nothing\n" : "ran " + std::string(zq_fake_last_command()) + "\n";
    result.out += "out " + Joined(outputs, " | ") + "\n";
    const auto locations = error.GetLocations();
    for (size_t i = 0; i < error.GetMessages().size(); ++i) {
        std::string function = locations.at(i).m_function;
        function = function.substr(0, function.find('('));
        result.out += "error " + std::to_string(error.GetSystemError()) + " " + locations.at(i).m_file + " " +
                      function.substr(function.rfind(':') + 1) + ": " + Escaped(error.GetMessages()[i]) + "\n";
    }
    for (const std::string& text : log.Texts()) result.out += "log " + Escaped(text) + "\n";
    return result;
}

TEST(ChangelogOperations, ReplayTheScriptedReplies)
{
    for (const char* name : {"operations.txt", "records.txt", "users.txt"}) {
        const Replayed r = ReplayTranscript(CHANGELOG_DATA_DIR "/" + std::string(name), Play);
        ASSERT_GT(r.recorded.size(), 1000u) << name;
        EXPECT_EQ(r.replayed, r.recorded) << name;
    }
}

}  // namespace
