// The fuzz entry functions: see FuzzTargets.h.
#include "FuzzTargets.h"

#include <cctype>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeZqProcess.h"
#include "KxUtils.h"
#include "LustreAPI.h"

namespace fuzz {
namespace {

// Checked in every build type: a broken invariant is a finding.
#define FUZZ_CHECK(cond)                                                          \
    do {                                                                          \
        if (!(cond)) {                                                            \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #cond, __FILE__, \
                         __LINE__);                                               \
            std::abort();                                                         \
        }                                                                         \
    } while (0)

// The library logs at level 0 on most paths; fuzzing must not flood stderr
// nor measure the writer.
class QuietWriter : public LogWriter {
public:
    int GetLevel() override { return level; }
    void Log(int, const char*, int, int, int, const char*, ...) override { ++lines; }
    int level = 0;
    unsigned long lines = 0;
};

QuietWriter& Writer() {
    static QuietWriter* writer = [] {
        auto* w = new QuietWriter;  // lives for the process, as g_ptrLogWriter's target
        g_ptrLogWriter = w;
        return w;
    }();
    return *writer;
}

struct Reply {
    int status = 0;
    std::string out;
    std::string err;
};

Reply Decode(const uint8_t* data, size_t size) {
    Reply r;
    if (size == 0) return r;
    r.status = data[0] == '0' ? 0 : static_cast<signed char>(data[0]);
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t nul = rest.find('\0');
    if (nul == std::string::npos) {
        r.out = std::move(rest);
    } else {
        r.out = rest.substr(0, nul);
        r.err = rest.substr(nul + 1);
    }
    return r;
}

Reply Script(const uint8_t* data, size_t size) {
    Writer();
    Reply r = Decode(data, size);
    zq_fake_set_reply(r.status, r.out.data(), r.out.size(), r.err.data(), r.err.size());
    return r;
}

// Every changelog error is made from the Win32 code 774.
void CheckFailure(const CKxError& e) {
    FUZZ_CHECK(e.GetCode() < 0);
    FUZZ_CHECK(e.GetSystemError() == 774);
    FUZZ_CHECK(!e.GetMessages().empty());
}

// A command that failed, or printed nothing, can only be an error.
bool RunnerFails(const Reply& r) { return r.status != 0 || r.out.empty(); }

const std::string kHost = "mds1";
const std::string kMdt = "lustre-MDT0000";
const std::string kFs = "lustre";
const std::string kUser = "root";
const std::string kReader = "cl1";
// Holds a NUL, which the decoded standard output never does: no reply can
// make an operation write this value.
const std::string kUntouched("\0untouched", 10);

}  // namespace

int FidText(const uint8_t* data, size_t size) {
    Writer();
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        LustreAPI::CLustreFID fid(text);
        // Whatever was read must survive the text form unchanged.
        char form[64];
        std::snprintf(form, sizeof form, "[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
        LustreAPI::CLustreFID back{std::string(form)};
        FUZZ_CHECK(back.m_seq == fid.m_seq && back.m_oid == fid.m_oid && back.m_ver == fid.m_ver);
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return 0;
}

int CurrentIndex(const uint8_t* data, size_t size) {
    Reply r = Script(data, size);
    std::string index = kUntouched;
    CKxError e = LustreAPI::GetChangelogCurrentIndex(kHost, kMdt, kFs, kUser, index);
    if (e.Failed()) {
        CheckFailure(e);
        FUZZ_CHECK(index == kUntouched);
    } else {
        FUZZ_CHECK(!RunnerFails(r));
        FUZZ_CHECK(r.out.find(index) != std::string::npos);
    }
    return 0;
}

int RecordRange(const uint8_t* data, size_t size) {
    Reply r = Script(data, size);
    std::string start, end = kUntouched;
    CKxError e = LustreAPI::GetStartAndEndChangelogRecordNumbers(kHost, kMdt, kFs, kUser, kReader, start, end);
    if (e.Failed()) {
        CheckFailure(e);
        if (RunnerFails(r)) FUZZ_CHECK(start.empty() && end == kUntouched);
    } else {
        FUZZ_CHECK(!RunnerFails(r));
        FUZZ_CHECK(!start.empty());
        FUZZ_CHECK(r.out.find(start) != std::string::npos);
        FUZZ_CHECK(end == kUntouched || r.out.find(end) != std::string::npos);
    }
    return 0;
}

int Register(const uint8_t* data, size_t size) {
    Reply r = Script(data, size);
    std::string id = kUntouched;
    CKxError e = LustreAPI::RegisterChangelog(kHost, kMdt, kFs, kUser, id);
    if (e.Failed()) {
        CheckFailure(e);
        if (RunnerFails(r)) FUZZ_CHECK(id == kUntouched);
    } else {
        FUZZ_CHECK(!RunnerFails(r));
        FUZZ_CHECK(id != kUntouched);
        FUZZ_CHECK(r.out.find(id) != std::string::npos);
    }
    return 0;
}

int Deregister(const uint8_t* data, size_t size) {
    Reply r = Script(data, size);
    std::string id = kReader;
    CKxError e = LustreAPI::DeRegisterChangelog(kHost, kMdt, kFs, kUser, id);
    FUZZ_CHECK(id == kReader);
    if (e.Failed())
        CheckFailure(e);
    else
        FUZZ_CHECK(!RunnerFails(r));
    return 0;
}

int MdtList(const uint8_t* data, size_t size) {
    Reply r = Script(data, size);
    std::vector<std::string> names{"kept"}, servers{"dropped"};
    CKxError e = LustreAPI::GetMDTList(kFs, names, servers);
    FUZZ_CHECK(!names.empty() && names.front() == "kept");
    if (e.Failed()) {
        CheckFailure(e);
        FUZZ_CHECK(servers.empty() && names.size() == 1);
    } else {
        FUZZ_CHECK(!RunnerFails(r));
        FUZZ_CHECK(names.size() == servers.size() + 1);
        for (size_t i = 0; i < servers.size(); ++i) {
            FUZZ_CHECK(r.out.find(servers[i]) != std::string::npos);
            FUZZ_CHECK(names[i + 1].compare(0, kFs.size() + 1, kFs + "-") == 0);
        }
    }
    return 0;
}

int ChangelogDump(const uint8_t* data, size_t size) {
    Reply r = Script(data, size);
    CKxError e = LustreAPI::GetChangelogs(kMdt, "", "5", "9", "/dev/null");
    if (e.Failed())
        CheckFailure(e);
    else
        FUZZ_CHECK(r.status == 0 && r.out.empty());
    FUZZ_CHECK(std::string(zq_fake_last_command()) == "lfs changelog lustre-MDT0000 5 9 > /dev/null");
    return 0;
}

namespace {

// A value a command line may carry unquoted: letters, digits and . _ - : / + , = % @
// (host and login names without / and @), not beginning with '-'.
bool ShellInert(const std::string& value, bool login) {
    if (!value.empty() && value[0] == '-') return false;
    for (unsigned char c : value) {
        if (std::isalnum(c) || std::strchr("._-:+,=%", c)) continue;
        if (!login && (c == '/' || c == '@')) continue;
        return false;
    }
    return true;
}

// Runs one operation; when it reached the runner, the line must be exactly
// the expected one and every value in it inert.
template <typename Operation>
void CheckRun(Operation op, const std::string& expected, std::initializer_list<std::pair<const std::string*, bool>> values) {
    const unsigned long before = zq_fake_call_count();
    const CKxError e = op();
    if (zq_fake_call_count() == before) {
        CheckFailure(e);  // refused before anything ran
        return;
    }
    FUZZ_CHECK(expected == zq_fake_last_command());
    for (const auto& [value, login] : values) FUZZ_CHECK(ShellInert(*value, login));
}

}  // namespace

int CommandArguments(const uint8_t* data, size_t size) {
    Writer();
    std::vector<std::string> a;
    std::string current;
    for (size_t i = 0; i < size && a.size() < 7; ++i) {
        if (data[i] == 0) {
            a.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    a.push_back(current);
    a.resize(8);
    const std::string &host = a[0], &mdt = a[1], &user = a[2], &reader = a[3], &fs = a[4], &start = a[5],
                      &end = a[6], &file = a[7];
    // A reply every operation can read, so that a run is seen whatever it parses.
    static const char kReply[] = "x\n";
    zq_fake_set_reply(0, kReply, sizeof kReply - 1, "", 0);

    std::string out = kUntouched, out2 = kUntouched;
    CheckRun([&] { return LustreAPI::GetChangelogCurrentIndex(host, mdt, fs, user, out); },
             "ssh " + user + "@" + host + " 'lctl get_param mdd." + mdt + ".changelog_users'",
             {{&user, true}, {&host, true}, {&mdt, false}});
    CheckRun([&] { return LustreAPI::GetStartAndEndChangelogRecordNumbers(host, mdt, fs, user, reader, out, out2); },
             "ssh " + user + "@" + host + " 'lctl get_param mdd." + mdt + ".changelog_users'",
             {{&user, true}, {&host, true}, {&mdt, false}});
    CheckRun([&] { return LustreAPI::RegisterChangelog(host, mdt, fs, user, out); },
             "ssh " + user + "@" + host + " 'lctl --device " + mdt + " changelog_register'",
             {{&user, true}, {&host, true}, {&mdt, false}});
    std::string id = reader;
    CheckRun([&] { return LustreAPI::DeRegisterChangelog(host, mdt, fs, user, id); },
             "ssh " + user + "@" + host + " 'lctl --device " + mdt + " changelog_deregister " + reader + "'",
             {{&user, true}, {&host, true}, {&mdt, false}, {&reader, false}});
    CheckRun([&] { return LustreAPI::GetChangelogs(mdt, host, start, end, file); },
             "lfs changelog " + mdt + " " + start + " " + end + " > " + file,
             {{&mdt, false}, {&start, false}, {&end, false}, {&file, false}});
    std::vector<std::string> names, servers;
    CheckRun([&] { return LustreAPI::GetMDTList(fs, names, servers); }, "lctl get_param mdc." + fs + "*.mds_conn_uuid",
             {{&fs, false}});
    return 0;
}

namespace {

std::string FidOf(const LustreAPI::CLustreFID& fid) {
    // Lustre's DFID: "%#llx" prints a zero sequence as "0".
    return HBString::Format("[%#llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
}

bool IsZero(const LustreAPI::CLustreFID& fid) { return fid.m_seq == 0 && fid.m_oid == 0 && fid.m_ver == 0; }

bool SameFid(const LustreAPI::CLustreFID& a, const LustreAPI::CLustreFID& b) {
    return a.m_seq == b.m_seq && a.m_oid == b.m_oid && a.m_ver == b.m_ver;
}

bool SameRecord(const LustreAPI::CChangelogRecord& a, const LustreAPI::CChangelogRecord& b) {
    return a.m_index == b.m_index && a.m_type == b.m_type && a.m_typeName == b.m_typeName &&
           a.m_seconds == b.m_seconds && a.m_nanoseconds == b.m_nanoseconds && a.m_flags == b.m_flags &&
           SameFid(a.m_target, b.m_target) && a.m_jobId == b.m_jobId && a.m_extraFlags == b.m_extraFlags &&
           a.m_uid == b.m_uid && a.m_gid == b.m_gid && a.m_nid == b.m_nid && a.m_openMode == b.m_openMode &&
           a.m_xattr == b.m_xattr && SameFid(a.m_parent, b.m_parent) && a.m_name == b.m_name &&
           SameFid(a.m_source, b.m_source) && SameFid(a.m_sourceParent, b.m_sourceParent) &&
           a.m_sourceName == b.m_sourceName;
}

// The record as lfs prints it from 2.11 on (the parent also with a name, as
// up to 2.10, so that a name never reads as one of the fields before it).
std::string PrintRecord(const LustreAPI::CChangelogRecord& r) {
    const time_t seconds = static_cast<time_t>(r.m_seconds);
    struct tm tm {};
    FUZZ_CHECK(gmtime_r(&seconds, &tm) != nullptr);
    std::string line = HBString::Format("%llu %02d%-5s %02d:%02d:%02d.%09u %04d.%02d.%02d 0x%x t=", r.m_index,
                                        r.m_type, r.m_typeName.c_str(), tm.tm_hour, tm.tm_min, tm.tm_sec,
                                        r.m_nanoseconds, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, r.m_flags);
    line += FidOf(r.m_target);
    if (!r.m_jobId.empty()) line += " j=" + r.m_jobId;
    if (r.m_extraFlags != 0) line += HBString::Format(" ef=0x%llx", r.m_extraFlags);
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

int ChangelogRecord(const uint8_t* data, size_t size) {
    Writer();
    const std::string line(reinterpret_cast<const char*>(data), size);
    LustreAPI::CChangelogRecord record;
    record.m_index = 77;
    record.m_name = "untouched";
    const LustreAPI::CChangelogRecord before = record;
    const CKxError error = LustreAPI::ParseChangelogRecord(line, record);
    if (error.Failed()) {
        CheckFailure(error);
        FUZZ_CHECK(SameRecord(record, before));
        return 0;
    }
    FUZZ_CHECK(record.m_uid >= -1 && record.m_gid >= -1 && record.m_nanoseconds < (1u << 30));
    const std::string printed = PrintRecord(record);
    LustreAPI::CChangelogRecord again;
    const CKxError reread = LustreAPI::ParseChangelogRecord(printed, again);
    if (reread.Failed() || !SameRecord(record, again)) {
        std::fprintf(stderr, "read:    %s\nprinted: %s\n", line.c_str(), printed.c_str());
        FUZZ_CHECK(!"the printed record reads back to the same values");
    }
    return 0;
}

const Target kTargets[] = {
    {"fid_text", FidText},       {"current_index", CurrentIndex}, {"record_range", RecordRange},
    {"register", Register},      {"deregister", Deregister},      {"mdt_list", MdtList},
    {"changelog_dump", ChangelogDump}, {"command_arguments", CommandArguments},
    {"changelog_record", ChangelogRecord},
};
const size_t kTargetCount = sizeof kTargets / sizeof kTargets[0];

}  // namespace fuzz
