// Changelog administration: commands and the changelog dump, MDT discovery,
// changelog users and the changelog indexes.
//
// Every command line is built from values inserted as they are; the values
// are checked first (ArgumentChecks.h), so that no shell on either side of ssh
// reads anything into them. A refused value runs nothing and leaves every
// output untouched. Each operation has one body, run by both of its
// overloads with the overload's own function text (CommandPath.h).
#include <algorithm>
#include <cstring>
#include <iterator>
#include <set>

#include "ArgumentChecks.h"
#include "ChangelogListing.h"
#include "CommandPath.h"
#include "Diagnostics.h"
#include "KxUtils.h"
#include "LustreAPI.h"

namespace LustreAPI {

// Inputs are spelled "const string&" and outputs "std::string&": that is how
// the function texts of this file's log lines and error locations read.
using string = std::string;
using std::chrono::milliseconds;

namespace {

constexpr milliseconds kNoLimit{0};

CKxError RunCommandLines(const char* function, const string& command, milliseconds limit, std::list<std::string>& lines)
{
    std::string output;
    CKxError error = RunChecked(function, command, limit, EmptyOutput::Fails, output);
    if (error.Failed()) return error;
    HBString::Split(output, "\n", lines, 0);
    return CKxError();
}

CKxError DumpChangelogs(const char* function, const string& mdt, const string& startRecord, const string& endRecord,
                        const string& outputFile, milliseconds limit)
{
    // Both record numbers may be empty (lfs then dumps the whole changelog), but
    // an empty start before an end would make lfs read the end as the start.
    CKxError refused = CheckCommandArguments(LAPI_AT(function),
                                             {{"MDT", mdt, ArgumentKind::Word, false},
                                              {"start record", startRecord, ArgumentKind::Number, endRecord.empty()},
                                              {"end record", endRecord, ArgumentKind::Number, true},
                                              {"output file", outputFile, ArgumentKind::Word, false}});
    if (refused.Failed()) return refused;

    const std::string command = HBString::Format("lfs changelog %s %s %s > %s", mdt.c_str(), startRecord.c_str(),
                                                 endRecord.c_str(), outputFile.c_str());
    std::string output;
    CKxError error = RunChecked(function, command, limit, EmptyOutput::Allowed, output);
    if (error.Failed()) return error;
    if (!output.empty()) return CommandError(LAPI_AT(function), "Cannot obtain changelogs due to %s", output.c_str());
    return CKxError();
}

CKxError ListMdts(const char* function, const string& fsName, std::vector<std::string>& mdtNames,
                  std::vector<std::string>& mdtServers, milliseconds limit)
{
    CKxError refused =
        CheckCommandArguments(LAPI_AT(function), {{"file-system name", fsName, ArgumentKind::Word, false}});
    if (refused.Failed()) return refused;

    mdtServers.clear();
    // The pattern is quoted so that it reaches lctl as written: the local
    // shell would otherwise match it against the names in the host's
    // working directory.
    const std::string command = HBString::Format("lctl get_param 'mdc.%s*.mds_conn_uuid'", fsName.c_str());
    std::list<std::string> lines;
    CKxError error = RunListing(command, limit, lines);
    if (error.Failed()) {
        LogLine(LAPI_AT(function), "Cannot retrieve the list of MDTs for the Filesystem %s", fsName.c_str());
        return error;
    }

    // A client that mounts the file system twice has an mdc device per MDT and
    // mount: each MDT is listed once, at its first line.
    std::set<std::string> listed;
    for (auto line = lines.begin(); line != lines.end(); ++line) {
        if (line->empty()) continue;
        std::string mdtName;
        std::string value;
        if (ReadMdcLine(*line, fsName, mdtName, value) != ListingLine::Value) continue;
        // lctl 2.7 to 2.15 print a long value on the line after "name=".
        const auto next = std::next(line);
        if (value.empty() && next != lines.end() && !next->empty() && next->find('=') == std::string::npos) {
            value = *next;
            line = next;
        }
        if (!listed.insert(mdtName).second) continue;
        mdtServers.push_back(ServerOfValue(value));
        mdtNames.push_back(mdtName);
    }
    return CKxError();
}

// Names and masks of changelog readers came with Lustre 2.15: an older
// lctl takes no option but -n. Asks the server's lctl for its version and
// refuses before anything is registered when it is older; a reply that
// names no version is left to lctl itself to judge.
CKxError CheckNamedReaders(const char* function, const string& host, const string& mdt, const string& user,
                           const string& readerName, const string& mask, const std::string& failure, milliseconds limit)
{
    std::list<std::string> lines;
    CKxError error = RunRemoteListing(function, user, host, "lctl --version", limit, failure, lines);
    if (error.Failed()) return error;
    const auto reply = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty(); });
    unsigned major = 0;
    unsigned minor = 0;
    if (reply == lines.end() || !ReadLctlVersion(*reply, major, minor)) return CKxError();
    if (major > 2 || (major == 2 && minor >= 15)) return CKxError();
    const std::string what =
        readerName.empty()
            ? HBString::Format("The changelog mask \"%s\"", QuoteForMessage(mask).c_str())
            : mask.empty() ? HBString::Format("The changelog reader name \"%s\"", QuoteForMessage(readerName).c_str())
                           : HBString::Format("The changelog reader name \"%s\" and mask \"%s\"",
                                              QuoteForMessage(readerName).c_str(), QuoteForMessage(mask).c_str());
    return RefusalError(LAPI_AT(function),
                        "%s for MDT %s are refused: Lustre %u.%u on host %s registers changelog readers without "
                        "names or masks (they came with 2.15)",
                        what.c_str(), mdt.c_str(), major, minor, host.c_str());
}

CKxError Register(const char* function, const string& host, const string& mdt, const string& fsName, const string& user,
                  const string& readerName, const string& mask, std::string& changelogUser, milliseconds limit)
{
    CKxError refused = CheckCommandArguments(LAPI_AT(function), {{"host", host, ArgumentKind::Login, false},
                                                                 {"MDT", mdt, ArgumentKind::Word, false},
                                                                 {"user", user, ArgumentKind::Login, false}});
    if (refused.Failed()) return refused;
    refused = CheckReaderName(LAPI_AT(function), readerName);
    if (refused.Failed()) return refused;
    refused = CheckChangelogMask(LAPI_AT(function), mask);
    if (refused.Failed()) return refused;

    const std::string failure = HBString::Format("Cannot register the changelog in MDT %s for the Filesystem %s on host %s",
                                                 mdt.c_str(), fsName.c_str(), host.c_str());
    std::string remote = HBString::Format("lctl --device %s changelog_register", mdt.c_str());
    if (!readerName.empty() || !mask.empty()) {
        CKxError old = CheckNamedReaders(function, host, mdt, user, readerName, mask, failure, limit);
        if (old.Failed()) return old;
        // -m takes the next word whatever it begins with ("-creat").
        if (!readerName.empty()) remote += HBString::Format(" -u %s", readerName.c_str());
        if (!mask.empty()) remote += HBString::Format(" -m %s", mask.c_str());
    }

    std::list<std::string> lines;
    CKxError error = RunRemoteListing(function, user, host, remote, limit, failure, lines);
    if (error.Failed()) return error;

    static const char kRegistered[] = "Registered changelog userid";  // 27 characters
    bool replied = false;
    for (const std::string& line : lines) {
        if (line.empty()) continue;
        replied = true;
        std::vector<std::string> pieces;
        HBString::Split(line, ":", pieces, 0);
        if (pieces.empty() || std::strcmp(pieces[0].c_str(), mdt.c_str()) != 0) {
            LogLine(LAPI_AT(function),
                    "The Device name didn't match the output. Registering changelog user failed for %s since "
                    "output is %s",
                    mdt.c_str(), line.c_str());
            return CommandError(LAPI_AT(function), "Registering Changelog user failed for %s", mdt.c_str());
        }
        bool expected = pieces.size() >= 2;
        if (expected) {
            std::string& reply = pieces[1];
            HBString::TrimLeft(reply, " ");
            expected = reply.size() >= sizeof kRegistered - 1 &&
                       std::memcmp(reply.data(), kRegistered, sizeof kRegistered - 1) == 0;
            if (expected) {
                HBString::TrimLeft(reply, "Registered changelog userid ");
                HBString::Trim(reply, "'");
                // A reply without an identifier registered nothing we could name;
                // a named reader's identifier ends in its name.
                expected = !reply.empty() && (readerName.empty() || ChangelogReaderName(reply) == readerName);
            }
        }
        if (!expected) {
            LogLine(LAPI_AT(function), "Registering changelog user failed for %s with %s", mdt.c_str(), line.c_str());
            return CommandError(LAPI_AT(function), "Registering Changelog user failed for %s", mdt.c_str());
        }
        changelogUser = pieces[1];
    }
    // The caller asked for an identifier; a reply of line ends gives none.
    if (!replied) {
        LogLine(LAPI_AT(function), "Registering changelog user failed for %s with %s", mdt.c_str(), "an empty reply");
        return CommandError(LAPI_AT(function), "Registering Changelog user failed for %s", mdt.c_str());
    }
    return CKxError();
}

CKxError Deregister(const char* function, const string& host, const string& mdt, const string& fsName,
                    const string& user, const string& changelogUser, milliseconds limit)
{
    CKxError refused =
        CheckCommandArguments(LAPI_AT(function), {{"host", host, ArgumentKind::Login, false},
                                                  {"MDT", mdt, ArgumentKind::Word, false},
                                                  {"user", user, ArgumentKind::Login, false},
                                                  {"changelog user", changelogUser, ArgumentKind::Word, false}});
    if (refused.Failed()) return refused;

    std::list<std::string> lines;
    CKxError error = RunRemoteListing(
        function, user, host,
        HBString::Format("lctl --device %s changelog_deregister %s", mdt.c_str(), changelogUser.c_str()), limit,
        HBString::Format("Cannot deregister the changelog %s in MDT %s for the Filesystem %s on host %s",
                         changelogUser.c_str(), mdt.c_str(), fsName.c_str(), host.c_str()),
        lines);
    if (error.Failed()) return error;

    // lctl confirms a deregistration; a reply of blank lines confirms nothing.
    const auto reply = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty(); });
    if (reply == lines.end()) {
        LogLine(LAPI_AT(function), "Cannot deregister the changelog user %s. It returned %s", changelogUser.c_str(),
                "an empty reply");
        return CommandError(LAPI_AT(function), "Cannot de-register the changelog user %s. It returned %s",
                            changelogUser.c_str(), "an empty reply");
    }
    const std::string& line = *reply;

    const std::string expected =
        HBString::Format("%s: Deregistered changelog user '%s'", mdt.c_str(), changelogUser.c_str());
    if (line == expected) return CKxError();
    // Lustre 2.15 and later name the user by its number: "<MDT>: Deregistered
    // changelog user #N".
    const std::string number = ChangelogUserNumber(changelogUser);
    if (!number.empty() && line == HBString::Format("%s: Deregistered changelog user #%s", mdt.c_str(), number.c_str()))
        return CKxError();

    LogLine(LAPI_AT(function), "Cannot deregister the changelog user %s. It returned %s", changelogUser.c_str(),
            line.c_str());
    return CommandError(LAPI_AT(function), "Cannot de-register the changelog user %s. It returned %s",
                        changelogUser.c_str(), line.c_str());
}

CKxError CurrentIndex(const char* function, const string& host, const string& mdt, const string& fsName,
                      const string& user, std::string& currentIndex, milliseconds limit)
{
    std::list<std::string> lines;
    CKxError error = ReadChangelogUsers(
        function, host, mdt, user, limit,
        HBString::Format("Cannot get the current index of the changelogs in the MDT %s for Lustre FS %s", mdt.c_str(),
                         fsName.c_str()),
        lines);
    if (error.Failed()) return error;

    // Only the first current-index line counts.
    for (const std::string& line : lines) {
        if (line.empty()) continue;
        std::string value;
        switch (ReadCurrentIndexLine(line, value)) {
        case ListingLine::None:
            continue;
        case ListingLine::ParseError:
            return ChangelogUsersParseError(LAPI_AT(function));
        case ListingLine::Value:
            LogLine(LAPI_AT(function), "The Current Index for Changelogs at MDT %s is %s", mdt.c_str(), value.c_str());
            currentIndex = value;
            return CKxError();
        }
    }
    return CommandError(LAPI_AT(function), "Cannot get changelog current index from the MDT %s", mdt.c_str());
}

CKxError StartAndEnd(const char* function, const string& host, const string& mdt, const string& fsName,
                     const string& user, const string& changelogUser, std::string& startRecord, std::string& endRecord,
                     milliseconds limit)
{
    std::list<std::string> lines;
    CKxError error =
        ReadChangelogUsers(function, host, mdt, user, limit,
                           HBString::Format("Cannot get the changelog user information for the MDT %s of Lustre FS %s",
                                            mdt.c_str(), fsName.c_str()),
                           lines);
    if (error.Failed()) return error;

    // Every line is read; the last current-index line gives the end, the last
    // reader line the start. Whether the reader was found is this call's own
    // finding, whatever startRecord held on entry.
    bool readerFound = false;
    for (const std::string& line : lines) {
        if (line.empty()) continue;
        std::string value;
        switch (ReadCurrentIndexLine(line, value)) {
        case ListingLine::None:
            break;
        case ListingLine::ParseError:
            return ChangelogUsersParseError(LAPI_AT(function));
        case ListingLine::Value:
            LogLine(LAPI_AT(function), "The End Record Number for Changelogs at MDT %s is %s", mdt.c_str(),
                    value.c_str());
            endRecord = value;
            break;
        }
        switch (ReadReaderLine(line, changelogUser, value)) {
        case ListingLine::None:
            break;
        case ListingLine::ParseError:
            return ChangelogUsersParseError(LAPI_AT(function));
        case ListingLine::Value:
            LogLine(LAPI_AT(function), "The Start Record Number for Changelogs at MDT %s is %s", mdt.c_str(),
                    value.c_str());
            startRecord = value;
            readerFound = !value.empty();
            break;
        }
    }
    if (!readerFound)
        return CommandError(LAPI_AT(function), "Cannot find the changelog reader %s in the MDT %s for Lustre FS %s",
                            changelogUser.c_str(), mdt.c_str(), fsName.c_str());
    return CKxError();
}

}  // namespace

// ---- Commands and changelog dump ----------------------------------------------

CKxError RunCommand(const string& command, std::list<std::string>& lines)
{
    return RunCommandLines(__PRETTY_FUNCTION__, command, kNoLimit, lines);
}

CKxError RunCommand(const string& command, std::list<std::string>& lines, milliseconds timeLimit)
{
    return RunCommandLines(__PRETTY_FUNCTION__, command, timeLimit, lines);
}

// The second parameter, a file-system name, stays for the hosts built against
// this signature; lfs finds the changelog by the MDT's device name alone.
CKxError GetChangelogs(const string& mdt, const string&, const string& startRecord, const string& endRecord,
                       const string& outputFile)
{
    return DumpChangelogs(__PRETTY_FUNCTION__, mdt, startRecord, endRecord, outputFile, kNoLimit);
}

CKxError GetChangelogs(const string& mdt, const string&, const string& startRecord, const string& endRecord,
                       const string& outputFile, milliseconds timeLimit)
{
    return DumpChangelogs(__PRETTY_FUNCTION__, mdt, startRecord, endRecord, outputFile, timeLimit);
}

// ---- MDT discovery ----------------------------------------------------------------

CKxError GetMDTList(const string& fsName, std::vector<std::string>& mdtNames, std::vector<std::string>& mdtServers)
{
    return ListMdts(__PRETTY_FUNCTION__, fsName, mdtNames, mdtServers, kNoLimit);
}

CKxError GetMDTList(const string& fsName, std::vector<std::string>& mdtNames, std::vector<std::string>& mdtServers,
                    milliseconds timeLimit)
{
    return ListMdts(__PRETTY_FUNCTION__, fsName, mdtNames, mdtServers, timeLimit);
}

// ---- Changelog users ----------------------------------------------------------------

CKxError RegisterChangelog(const string& host, const string& mdt, const string& fsName, const string& user,
                           std::string& changelogUser)
{
    return Register(__PRETTY_FUNCTION__, host, mdt, fsName, user, string(), string(), changelogUser, kNoLimit);
}

CKxError RegisterChangelog(const string& host, const string& mdt, const string& fsName, const string& user,
                           std::string& changelogUser, milliseconds timeLimit)
{
    return Register(__PRETTY_FUNCTION__, host, mdt, fsName, user, string(), string(), changelogUser, timeLimit);
}

CKxError RegisterChangelog(const string& host, const string& mdt, const string& fsName, const string& user,
                           const string& readerName, const string& mask, std::string& changelogUser)
{
    return Register(__PRETTY_FUNCTION__, host, mdt, fsName, user, readerName, mask, changelogUser, kNoLimit);
}

CKxError RegisterChangelog(const string& host, const string& mdt, const string& fsName, const string& user,
                           const string& readerName, const string& mask, std::string& changelogUser,
                           milliseconds timeLimit)
{
    return Register(__PRETTY_FUNCTION__, host, mdt, fsName, user, readerName, mask, changelogUser, timeLimit);
}

CKxError DeRegisterChangelog(const string& host, const string& mdt, const string& fsName, const string& user,
                             std::string& changelogUser)
{
    return Deregister(__PRETTY_FUNCTION__, host, mdt, fsName, user, changelogUser, kNoLimit);
}

CKxError DeRegisterChangelog(const string& host, const string& mdt, const string& fsName, const string& user,
                             std::string& changelogUser, milliseconds timeLimit)
{
    return Deregister(__PRETTY_FUNCTION__, host, mdt, fsName, user, changelogUser, timeLimit);
}

// ---- Changelog indexes --------------------------------------------------------------

CKxError GetChangelogCurrentIndex(const string& host, const string& mdt, const string& fsName, const string& user,
                                  std::string& currentIndex)
{
    return CurrentIndex(__PRETTY_FUNCTION__, host, mdt, fsName, user, currentIndex, kNoLimit);
}

CKxError GetChangelogCurrentIndex(const string& host, const string& mdt, const string& fsName, const string& user,
                                  std::string& currentIndex, milliseconds timeLimit)
{
    return CurrentIndex(__PRETTY_FUNCTION__, host, mdt, fsName, user, currentIndex, timeLimit);
}

CKxError GetStartAndEndChangelogRecordNumbers(const string& host, const string& mdt, const string& fsName,
                                              const string& user, const string& changelogUser, std::string& startRecord,
                                              std::string& endRecord)
{
    return StartAndEnd(__PRETTY_FUNCTION__, host, mdt, fsName, user, changelogUser, startRecord, endRecord, kNoLimit);
}

CKxError GetStartAndEndChangelogRecordNumbers(const string& host, const string& mdt, const string& fsName,
                                              const string& user, const string& changelogUser, std::string& startRecord,
                                              std::string& endRecord, milliseconds timeLimit)
{
    return StartAndEnd(__PRETTY_FUNCTION__, host, mdt, fsName, user, changelogUser, startRecord, endRecord, timeLimit);
}

}  // namespace LustreAPI
