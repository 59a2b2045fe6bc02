// The fuzz entry functions: see FuzzTargets.h.
#include "FuzzTargets.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "FakeZqProcess.h"
#include "KxUtils.h"
#include "LustreAPI.h"

namespace fuzz {
namespace {

// Checked in every build type: a broken invariant is a finding.
#define FUZZ_CHECK(cond) \
    do { \
        if (!(cond)) { \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort(); \
        } \
    } while (0)

// The library logs at level 0 on most paths; fuzzing must not flood stderr
// nor measure the writer. Installed once, it lives for the process.
class QuietWriter : public LogWriter {
public:
    int GetLevel() override { return 0; }
    void Log(int, const char*, int, int, int, const char*, ...) override {}
};

void Quiet()
{
    static QuietWriter* const writer = new QuietWriter;
    g_ptrLogWriter = writer;
}

struct Reply {
    int status = 0;
    std::string out, err;
    // A command that failed, or printed nothing, can only be an error.
    bool Fails() const { return status != 0 || out.empty(); }
    bool Shows(const std::string& value) const { return out.find(value) != std::string::npos; }
};

// Decodes the bytes as FuzzTargets.h says and scripts them as the reply.
Reply Script(const uint8_t* data, size_t size)
{
    Quiet();
    Reply r;
    if (size > 0) {
        r.status = data[0] == '0' ? 0 : static_cast<signed char>(data[0]);
        const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
        const size_t nul = rest.find('\0');
        r.out = rest.substr(0, nul);
        if (nul != std::string::npos) r.err = rest.substr(nul + 1);
    }
    zq_fake_set_reply(r.status, r.out.data(), r.out.size(), r.err.data(), r.err.size());
    return r;
}

// Every changelog error is made from the Win32 code 774.
void CheckFailure(const CKxError& e)
{
    FUZZ_CHECK(e.GetCode() < 0 && e.GetSystemError() == 774 && !e.GetMessages().empty());
}

// A failed operation: an error as above, with its outputs as onFailure says;
// a successful one: a reply that could succeed, outputs as onSuccess says.
void CheckOutcome(const CKxError& e, const Reply& r, bool onFailure, bool onSuccess)
{
    if (e.Failed()) {
        CheckFailure(e);
        FUZZ_CHECK(onFailure);
    } else {
        FUZZ_CHECK(!r.Fails() && onSuccess);
    }
}

const std::string kHost = "mds1", kMdt = "lustre-MDT0000", kFs = "lustre", kUser = "root", kReader = "cl1";
// Holds a NUL, which the decoded standard output never does: no reply can
// make an operation write this value.
const std::string kUntouched("\0untouched", 10);

}  // namespace

int FidText(const uint8_t* data, size_t size)
{
    Quiet();
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const LustreAPI::CLustreFID fid(text);
        // Whatever was read must survive the text form unchanged, which is
        // the format's.
        char form[64];
        std::snprintf(form, sizeof form, "[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
        FUZZ_CHECK(fid.Text() == form);
        const LustreAPI::CLustreFID back{std::string(form)};
        FUZZ_CHECK(back == fid);
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    // The strict parse: what it accepts survives the text form; what it
    // refuses leaves the FID as it was.
    LustreAPI::CLustreFID parsed(lu_fid{1, 2, 3});
    if (LustreAPI::CLustreFID::Parse(text, parsed).Failed()) {
        FUZZ_CHECK(parsed == LustreAPI::CLustreFID(lu_fid{1, 2, 3}));
    } else {
        LustreAPI::CLustreFID again;
        FUZZ_CHECK(!LustreAPI::CLustreFID::Parse(parsed.Text(), again).Failed() && again == parsed);
    }
    return 0;
}

int CurrentIndex(const uint8_t* data, size_t size)
{
    const Reply r = Script(data, size);
    std::string index = kUntouched;
    const CKxError e = LustreAPI::GetChangelogCurrentIndex(kHost, kMdt, kFs, kUser, index);
    CheckOutcome(e, r, index == kUntouched, r.Shows(index));
    return 0;
}

int RecordRange(const uint8_t* data, size_t size)
{
    const Reply r = Script(data, size);
    std::string start, end = kUntouched;
    const CKxError e = LustreAPI::GetStartAndEndChangelogRecordNumbers(kHost, kMdt, kFs, kUser, kReader, start, end);
    CheckOutcome(e, r, !r.Fails() || (start.empty() && end == kUntouched),
                 !start.empty() && r.Shows(start) && (end == kUntouched || r.Shows(end)));
    return 0;
}

int Register(const uint8_t* data, size_t size)
{
    const Reply r = Script(data, size);
    std::string id = kUntouched;
    const CKxError e = LustreAPI::RegisterChangelog(kHost, kMdt, kFs, kUser, id);
    CheckOutcome(e, r, !r.Fails() || id == kUntouched, id != kUntouched && r.Shows(id));
    return 0;
}

int Deregister(const uint8_t* data, size_t size)
{
    const Reply r = Script(data, size);
    std::string id = kReader;
    const CKxError e = LustreAPI::DeRegisterChangelog(kHost, kMdt, kFs, kUser, id);
    FUZZ_CHECK(id == kReader);
    CheckOutcome(e, r, true, true);
    return 0;
}

int MdtList(const uint8_t* data, size_t size)
{
    const Reply r = Script(data, size);
    std::vector<std::string> names{"kept"}, servers{"dropped"};
    const CKxError e = LustreAPI::GetMDTList(kFs, names, servers);
    FUZZ_CHECK(!names.empty() && names.front() == "kept");
    bool listed = names.size() == servers.size() + 1;
    for (size_t i = 0; listed && i < servers.size(); ++i)
        listed = r.Shows(servers[i]) && names[i + 1].compare(0, kFs.size() + 1, kFs + "-") == 0;
    CheckOutcome(e, r, servers.empty() && names.size() == 1, listed);
    return 0;
}

int ChangelogDump(const uint8_t* data, size_t size)
{
    const Reply r = Script(data, size);
    const CKxError e = LustreAPI::GetChangelogs(kMdt, "", "5", "9", "/dev/null");
    if (e.Failed())
        CheckFailure(e);
    else
        FUZZ_CHECK(r.status == 0 && r.out.empty());
    FUZZ_CHECK(std::string(zq_fake_last_command()) == "lfs changelog lustre-MDT0000 5 9 > /dev/null");
    return 0;
}

namespace {

// What a value on a command line must be: a host or login name, a word, or
// a word that may be left out (a record number).
enum class Kind { Login, Word, Optional };

// A value a command line may carry unquoted: letters, digits and . _ - : / + , = % @
// (host and login names without / and @), not beginning with '-'; empty
// only where leaving it out is meant (an empty word vanishes from the line).
bool ShellInert(const std::string& value, Kind kind)
{
    if (value.empty() ? kind != Kind::Optional : value[0] == '-') return false;
    for (unsigned char c : value)
        if (!std::isalnum(c) && !std::strchr("._-:+,=%", c) && (kind == Kind::Login || (c != '/' && c != '@')))
            return false;
    return true;
}

// One operation that builds a command line: the line it must hand the
// runner, and the values in it with their kinds.
struct CommandCase {
    std::function<CKxError()> run;
    std::string expected;
    std::vector<std::pair<const std::string*, Kind>> values;
};

std::string FidOf(const LustreAPI::CLustreFID& fid)
{
    // Lustre's DFID: "%#llx" prints a zero sequence as "0".
    return HBString::Format("[%#llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
}

bool IsZero(const LustreAPI::CLustreFID& fid) { return fid.m_seq == 0 && fid.m_oid == 0 && fid.m_ver == 0; }

auto Fields(const LustreAPI::CChangelogRecord& r)
{
    return std::make_tuple(r.m_index, r.m_type, r.m_typeName, r.m_seconds, r.m_nanoseconds, r.m_flags,
                           FidOf(r.m_target), r.m_jobId, r.m_extraFlags, r.m_uid, r.m_gid, r.m_nid, r.m_openMode,
                           r.m_xattr, FidOf(r.m_parent), r.m_name, FidOf(r.m_source), FidOf(r.m_sourceParent),
                           r.m_sourceName);
}

// The record as lfs prints it from 2.11 on (the parent also with a name, as
// up to 2.10, so that a name never reads as one of the fields before it).
std::string PrintRecord(const LustreAPI::CChangelogRecord& r)
{
    const time_t seconds = static_cast<time_t>(r.m_seconds);
    struct tm tm {};
    FUZZ_CHECK(gmtime_r(&seconds, &tm) != nullptr);
    std::string line = HBString::Format("%llu %02d%-5s %02d:%02d:%02d.%09u %04d.%02d.%02d 0x%x t=", r.m_index, r.m_type,
                                        r.m_typeName.c_str(), tm.tm_hour, tm.tm_min, tm.tm_sec, r.m_nanoseconds,
                                        tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, r.m_flags);
    line += FidOf(r.m_target);
    if (!r.m_jobId.empty()) line += " j=" + r.m_jobId;
    // lfs prints u=, nid=, m= and x= only after the extra-flags word, 0x0
    // included; a job id (any text) reads back whole only before it.
    const bool extras = r.m_uid != -1 || !r.m_nid.empty() || !r.m_openMode.empty() || !r.m_xattr.empty() ||
                        !r.m_jobId.empty();
    if (r.m_extraFlags != 0 || extras) line += HBString::Format(" ef=0x%llx", r.m_extraFlags);
    if (r.m_uid != -1) line += HBString::Format(" u=%lld:%lld", r.m_uid, r.m_gid);
    if (!r.m_nid.empty()) line += " nid=" + r.m_nid;
    if (!r.m_openMode.empty()) line += " m=" + r.m_openMode;
    if (!r.m_xattr.empty()) line += " x=" + r.m_xattr;
    if (!IsZero(r.m_parent) || !r.m_name.empty()) line += " p=" + FidOf(r.m_parent);
    if (!r.m_name.empty()) line += " " + r.m_name;
    if (!IsZero(r.m_source) || !IsZero(r.m_sourceParent) || !r.m_sourceName.empty())
        line += " s=" + FidOf(r.m_source) + " sp=" + FidOf(r.m_sourceParent) + " " + r.m_sourceName;
    return line;
}

}  // namespace

int CommandArguments(const uint8_t* data, size_t size)
{
    Quiet();
    std::vector<std::string> a(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && a.size() < 8)
            a.emplace_back();
        else
            a.back() += static_cast<char>(data[i]);
    }
    a.resize(8);
    const std::string &host = a[0], &mdt = a[1], &user = a[2], &reader = a[3], &fs = a[4], &start = a[5], &end = a[6],
                      &file = a[7];
    // A reply every operation can read, so that a run is seen whatever it parses.
    static const char kReply[] = "x\n";
    zq_fake_set_reply(0, kReply, sizeof kReply - 1, "", 0);

    std::string out = kUntouched, out2 = kUntouched, id = reader;
    std::vector<std::string> names, servers;
    const std::string ssh = "ssh " + user + "@" + host + " 'lctl ";
    constexpr Kind login = Kind::Login, word = Kind::Word;
    const std::vector<CommandCase> cases = {
        {[&] { return LustreAPI::GetChangelogCurrentIndex(host, mdt, fs, user, out); },
         ssh + "get_param mdd." + mdt + ".changelog_users'",
         {{&user, login}, {&host, login}, {&mdt, word}}},
        {[&] { return LustreAPI::GetStartAndEndChangelogRecordNumbers(host, mdt, fs, user, reader, out, out2); },
         ssh + "get_param mdd." + mdt + ".changelog_users'",
         {{&user, login}, {&host, login}, {&mdt, word}}},
        {[&] { return LustreAPI::RegisterChangelog(host, mdt, fs, user, out); },
         ssh + "--device " + mdt + " changelog_register'",
         {{&user, login}, {&host, login}, {&mdt, word}}},
        {[&] { return LustreAPI::DeRegisterChangelog(host, mdt, fs, user, id); },
         ssh + "--device " + mdt + " changelog_deregister " + reader + "'",
         {{&user, login}, {&host, login}, {&mdt, word}, {&reader, word}}},
        {[&] { return LustreAPI::GetChangelogs(mdt, host, start, end, file); },
         "lfs changelog " + mdt + " " + start + " " + end + " > " + file,
         {{&mdt, word}, {&start, Kind::Optional}, {&end, Kind::Optional}, {&file, word}}},
        {[&] { return LustreAPI::GetMDTList(fs, names, servers); },
         "lctl get_param 'mdc." + fs + "*.mds_conn_uuid'",
         {{&fs, word}}},
    };
    // When an operation reached the runner, the line must be exactly the
    // expected one and every value in it inert; otherwise it refused.
    for (const CommandCase& c : cases) {
        const unsigned long before = zq_fake_call_count();
        const CKxError e = c.run();
        if (zq_fake_call_count() == before) {
            CheckFailure(e);
            continue;
        }
        FUZZ_CHECK(c.expected == zq_fake_last_command());
        for (const auto& [value, kind] : c.values) FUZZ_CHECK(ShellInert(*value, kind));
    }
    return 0;
}

int ChangelogRecord(const uint8_t* data, size_t size)
{
    Quiet();
    const std::string line(reinterpret_cast<const char*>(data), size);
    LustreAPI::CChangelogRecord record;
    record.m_index = 77;
    record.m_name = "untouched";
    const LustreAPI::CChangelogRecord before = record;
    if (const CKxError error = LustreAPI::ParseChangelogRecord(line, record); error.Failed()) {
        CheckFailure(error);
        FUZZ_CHECK(Fields(record) == Fields(before));
        return 0;
    }
    FUZZ_CHECK(record.m_uid >= -1 && record.m_gid >= -1 && record.m_nanoseconds < (1u << 30));
    // Only a record lfs can print is printed again: one whose ef= announces
    // exactly the u= and nid= that follow and the m= and x= there are (2.11
    // on), and whose name has its directory. A line of any other record may
    // read more than one way, and the parser then takes the way lfs prints.
    const unsigned long long ef = record.m_extraFlags;
    if ((record.m_uid != -1) != ((ef & 0x1) != 0) || record.m_nid.empty() == ((ef & 0x2) != 0) ||
        (!record.m_openMode.empty() && !(ef & 0x4)) || (!record.m_xattr.empty() && !(ef & 0x8)) ||
        (!record.m_name.empty() && IsZero(record.m_parent)))
        return 0;
    const std::string printed = PrintRecord(record);
    LustreAPI::CChangelogRecord again;
    if (LustreAPI::ParseChangelogRecord(printed, again).Failed() || Fields(record) != Fields(again)) {
        std::fprintf(stderr, "read:    %s\nprinted: %s\n", line.c_str(), printed.c_str());
        FUZZ_CHECK(!"the printed record reads back to the same values");
    }
    return 0;
}

const Target kTargets[] = {
    {"fid_text", FidText},
    {"current_index", CurrentIndex},
    {"record_range", RecordRange},
    {"register", Register},
    {"deregister", Deregister},
    {"mdt_list", MdtList},
    {"changelog_dump", ChangelogDump},
    {"command_arguments", CommandArguments},
    {"changelog_record", ChangelogRecord},
};
const size_t kTargetCount = sizeof kTargets / sizeof kTargets[0];

}  // namespace fuzz
