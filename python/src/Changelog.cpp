// Changelog records, the administration of changelog readers and the
// acknowledgement of records.
#include <pybind11/chrono.h>
#include <pybind11/stl.h>

#include <charconv>
#include <cmath>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "Bindings.h"
#include "Errors.h"
#include "LustreAPI.h"
#include "TimeLimit.h"

namespace py = pybind11;
using LustreAPI::CChangelogRecord;
using LustreAPI::CChangelogUser;

namespace lustrepy {

std::chrono::milliseconds TimeLimit(std::optional<double> seconds)
{
    if (!seconds || *seconds == 0) return std::chrono::milliseconds(0);
    if (!std::isfinite(*seconds) || *seconds < 0) throw py::value_error("timeout must be None or >= 0 seconds");
    const double ms = std::ceil(*seconds * 1000.0);
    if (ms > 1e15) return std::chrono::milliseconds(0);  // beyond any wait: no limit
    return std::chrono::milliseconds(static_cast<long long>(ms));
}

namespace {

using Timeout = std::optional<double>;

// The one place where a timeout meets the library's operations: op calls
// the operation's time-limit overload with the limit it is given. A limit
// that passed is the error's own kind (ETIMEDOUT, CheckError).
template <typename Operation>
void Limited(const Timeout& timeout, Operation op)
{
    CheckError(op(TimeLimit(timeout)));
}
unsigned long long ToNumber(const std::string& text, const char* what)
{
    unsigned long long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        throw Failure(EIO, std::string(what) + " is not a number: '" + text + "'");
    return value;
}

CChangelogRecord Parse(const std::string& line)
{
    CChangelogRecord record;
    CheckError(LustreAPI::ParseChangelogRecord(line, record));
    return record;
}

std::vector<CChangelogRecord> Read(const std::string& mdt, unsigned long long start, unsigned long long end,
                                   const Timeout& timeout)
{
    std::vector<CChangelogRecord> records;
    Limited(timeout, [&](std::chrono::milliseconds limit) {
        return LustreAPI::ReadChangelogs(mdt, std::to_string(start), std::to_string(end), records, limit);
    });
    return records;
}

void Clear(const std::string& mdt, const std::string& user, unsigned long long end, const Timeout& timeout)
{
    Limited(timeout, [&](std::chrono::milliseconds limit) {
        return LustreAPI::ClearChangelog(mdt, user, std::to_string(end), limit);
    });
}

py::list MdtList(const std::string& fsName, const Timeout& timeout)
{
    std::vector<std::string> names, servers;
    {
        py::gil_scoped_release release;
        Limited(timeout,
                [&](std::chrono::milliseconds limit) { return LustreAPI::GetMDTList(fsName, names, servers, limit); });
    }
    py::list mdts;
    for (size_t i = 0; i < names.size(); ++i)
        mdts.append(MakeResult("Mdt", {py::str(names[i]), py::str(i < servers.size() ? servers[i] : "")}));
    return mdts;
}

std::string Register(const std::string& host, const std::string& mdt, const std::string& fsName,
                     const std::string& user, const std::string& name, const std::string& mask, const Timeout& timeout)
{
    std::string id;
    Limited(timeout, [&](std::chrono::milliseconds limit) {
        return LustreAPI::RegisterChangelog(host, mdt, fsName, user, name, mask, id, limit);
    });
    return id;
}

void Deregister(const std::string& host, const std::string& mdt, const std::string& fsName, const std::string& user,
                std::string id, const Timeout& timeout)
{
    Limited(timeout, [&](std::chrono::milliseconds limit) {
        return LustreAPI::DeRegisterChangelog(host, mdt, fsName, user, id, limit);
    });
}

unsigned long long CurrentIndex(const std::string& host, const std::string& mdt, const std::string& fsName,
                                const std::string& user, const Timeout& timeout)
{
    std::string index;
    Limited(timeout, [&](std::chrono::milliseconds limit) {
        return LustreAPI::GetChangelogCurrentIndex(host, mdt, fsName, user, index, limit);
    });
    return ToNumber(index, "the current index");
}

py::tuple Users(const std::string& host, const std::string& mdt, const std::string& fsName, const std::string& user,
                const Timeout& timeout)
{
    unsigned long long current = 0;
    std::vector<CChangelogUser> users;
    {
        py::gil_scoped_release release;
        Limited(timeout, [&](std::chrono::milliseconds limit) {
            return LustreAPI::GetChangelogUsers(host, mdt, fsName, user, current, users, limit);
        });
    }
    py::list readers;
    for (const CChangelogUser& u : users)
        readers.append(MakeResult(
            "ChangelogUser", {py::str(u.m_id), py::int_(u.m_index), py::int_(u.m_idleSeconds), py::str(u.m_mask),
                              py::str(u.m_name)}));
    return py::make_tuple(current, readers);
}

// The record's time as an aware datetime in UTC, to the microsecond.
py::object RecordTime(const CChangelogRecord& r)
{
    static PyObject* const fromTimestamp =
        py::object(py::module_::import("datetime").attr("datetime").attr("fromtimestamp")).release().ptr();
    static PyObject* const utc =
        py::object(py::module_::import("datetime").attr("timezone").attr("utc")).release().ptr();
    const py::object base = py::handle(fromTimestamp)(r.m_seconds, py::handle(utc));
    return base.attr("replace")(py::arg("microsecond") = r.m_nanoseconds / 1000);
}

std::string RecordRepr(const CChangelogRecord& r)
{
    return "ChangelogRecord(index=" + std::to_string(r.m_index) +
           ", type_name=" + py::repr(py::str(r.m_typeName)).cast<std::string>() +
           ", target=" + py::str(py::cast(r.m_target)).cast<std::string>() +
           ", name=" + py::repr(py::str(r.m_name)).cast<std::string>() + ")";
}

}  // namespace

void BindChangelog(py::module_& m)
{
    using release = py::call_guard<py::gil_scoped_release>;
    using R = CChangelogRecord;
    Public(py::class_<R>(m, "ChangelogRecord", PublicClass(),
                         "One changelog record, as \"lfs changelog\" prints it. Fields a record\n"
                         "does not carry are 0, \"\", Fid 0 or -1 (uid, gid). Made by the calls that\n"
                         "read records (ChangelogReader, read_changelogs, parse_changelog_record)."))
        .def_readonly("index", &R::m_index, "The record's number in the MDT's changelog.")
        .def_property_readonly(
            "type", [](const R& r) { return MakeEnum("RecordType", r.m_type); },
            "The RecordType (an int: RecordType.CREAT == 1), or the type's number where\n"
            "Lustre's header names no such type.")
        .def_readonly("type_name", &R::m_typeName, "\"MARK\", \"CREAT\", \"RENME\", ...")
        .def_readonly("seconds", &R::m_seconds, "The time, UTC, in seconds since 1970-01-01.")
        .def_readonly("nanoseconds", &R::m_nanoseconds, "The nanoseconds within that second.")
        .def_property_readonly("time", &RecordTime, "The time as an aware datetime in UTC (microseconds).")
        .def_readonly("flags", &R::m_flags, "The record's flags (0x1 on the last unlink of a file).")
        .def_readonly("target", &R::m_target, "t=: the file the record is about.")
        .def_readonly("job_id", &R::m_jobId, "j=: the job that made the change.")
        .def_readonly("extra_flags", &R::m_extraFlags, "ef=: which extra fields the record carries.")
        .def_readonly("uid", &R::m_uid, "u=: the user id, or -1.")
        .def_readonly("gid", &R::m_gid, "The group id, or -1.")
        .def_readonly("nid", &R::m_nid, "nid=: the client's network address.")
        .def_readonly("open_mode", &R::m_openMode, "m=: the open mode of OPEN records.")
        .def_readonly("xattr", &R::m_xattr, "x=: the extended attribute of XATTR records.")
        .def_readonly("parent", &R::m_parent, "p=: the directory holding name.")
        .def_readonly("name", &R::m_name, "The file's name in parent; may hold blanks.")
        .def_readonly("source", &R::m_source, "Renames, s=: the file renamed.")
        .def_readonly("source_parent", &R::m_sourceParent, "Renames, sp=: the directory it left.")
        .def_readonly("source_name", &R::m_sourceName, "Renames: its name there.")
        .def("__repr__", &RecordRepr, "__repr__(self)\n--\n\n");

    m.def("parse_changelog_record", &Parse, py::arg("line"),
          "parse_changelog_record(line)\n--\n\n"
          "The ChangelogRecord of one line of \"lfs changelog\" output (of any\n"
          "Lustre version, without its line end). LustreError (EIO) quoting the\n"
          "line when it is no record.");
    m.def("read_changelogs", &Read, py::arg("mdt"), py::arg("start") = 0, py::arg("end") = 0, py::kw_only(),
          py::arg("timeout") = py::none(), release(),
          "read_changelogs(mdt, start=0, end=0, *, timeout=None)\n--\n\n"
          "A list of the ChangelogRecords of mdt from start to end (0: to the\n"
          "last) at once, from \"lfs changelog\" on this node (or Lustre's changelog\n"
          "calls, when load() bound them). timeout: seconds (None: no limit); a\n"
          "reading that runs past it raises LustreTimeoutError (ETIMEDOUT).");
    m.def("clear_changelog", &Clear, py::arg("mdt"), py::arg("user"), py::arg("end"), py::kw_only(),
          py::arg("timeout") = py::none(), release(),
          "clear_changelog(mdt, user, end, *, timeout=None)\n--\n\n"
          "Acknowledges the records of the changelog reader user (\"cl1\") on mdt up\n"
          "to and including end (0: every record there is now). timeout: seconds\n"
          "for the command (None: no limit); one that runs past it raises\n"
          "LustreTimeoutError (ETIMEDOUT).");
    const char* const remote =
        "\n\nhost is the metadata server, reached with \"ssh user@host\"; fsname names\n"
        "the file system in messages. timeout: seconds for the command (None: no\n"
        "limit); a command that runs past it raises LustreTimeoutError (ETIMEDOUT).";
    m.def("mdt_list", &MdtList, py::arg("fsname"), py::kw_only(), py::arg("timeout") = py::none(),
          "mdt_list(fsname, *, timeout=None)\n--\n\n"
          "The MDTs of fsname and their servers as this client sees them, a list\n"
          "of Mdt named tuples: [Mdt(name='lustre-MDT0000', server='192.168.0.1'),\n"
          "...]. timeout: seconds for the command (None: no limit); a command that\n"
          "runs past it raises LustreTimeoutError (ETIMEDOUT).");
    m.def("register_changelog", &Register, py::arg("host"), py::arg("mdt"), py::arg("fsname"), py::arg("user"),
          py::kw_only(), py::arg("name") = "", py::arg("mask") = "", py::arg("timeout") = py::none(), release(),
          (std::string("register_changelog(host, mdt, fsname, user, *, name='', mask='', timeout=None)\n--\n\n"
                       "Registers a changelog reader on mdt and returns its id as lctl prints it:\n"
                       "\"cl1\", or \"cl2-watcher\" with name='watcher' (a letter, then letters,\n"
                       "digits, '_' and '-', at most 15). mask: record type names joined by ',',\n"
                       "'+' or '-' before a name for a mask relative to Lustre's default\n"
                       "(\"creat,unlnk\", \"-atime\"). A name or a mask needs Lustre 2.15 on the\n"
                       "server; an older one, or a name or mask that is not one, raises\n"
                       "LustreError with errno EINVAL before anything is registered.") +
           remote)
              .c_str());
    m.def("deregister_changelog", &Deregister, py::arg("host"), py::arg("mdt"), py::arg("fsname"), py::arg("user"),
          py::arg("changelog_user"), py::kw_only(), py::arg("timeout") = py::none(), release(),
          (std::string("deregister_changelog(host, mdt, fsname, user, changelog_user, *, timeout=None)\n--\n\n"
                       "Removes the changelog reader changelog_user (\"cl1\") of mdt.") +
           remote)
              .c_str());
    m.def("changelog_current_index", &CurrentIndex, py::arg("host"), py::arg("mdt"), py::arg("fsname"), py::arg("user"),
          py::kw_only(), py::arg("timeout") = py::none(), release(),
          (std::string("changelog_current_index(host, mdt, fsname, user, *, timeout=None)\n--\n\n"
                       "The current index (an int) of mdt's changelog.") +
           remote)
              .c_str());
    m.def("changelog_users", &Users, py::arg("host"), py::arg("mdt"), py::arg("fsname"), py::arg("user"), py::kw_only(),
          py::arg("timeout") = py::none(),
          (std::string("changelog_users(host, mdt, fsname, user, *, timeout=None)\n--\n\n"
                       "The current index of mdt's changelog (an int) and a list of its readers,\n"
                       "as ChangelogUser named tuples.") +
           remote)
              .c_str());
}

}  // namespace lustrepy
