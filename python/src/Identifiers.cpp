// lustreapi.Fid and the conversions between paths and FIDs.
#include <fcntl.h>
#include <pybind11/operators.h>
#include <pybind11/stl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <tuple>

#include "Bindings.h"
#include "Errors.h"
#include "LustreAPI.h"
#include "UniqueFd.h"

namespace py = pybind11;
using LustreAPI::CLustreFID;

namespace lustrepy {
namespace {

// CLustreFID::Parse for Python: text that is not a FID raises ValueError
// with the library's message.
CLustreFID FidFromText(const std::string& text)
{
    CLustreFID fid;
    const CKxError error = CLustreFID::Parse(text, fid);
    if (error.Failed()) throw py::value_error(error.GetMessages().back());
    return fid;
}

auto Key(const CLustreFID& fid) { return std::make_tuple(fid.m_seq, fid.m_oid, fid.m_ver); }

CLustreFID Path2Fid(const Path& path)
{
    lu_fid found{};
    std::string msg;
    CheckResult(LustreAPI::Path2FID(path.string(), found, msg), msg, path.string());
    return CLustreFID(found);
}

// Every path of the file, one per hard link.
std::vector<std::string> Fid2Path(const Path& mount, const CLustreFID& fid)
{
    std::vector<std::string> paths;
    CheckError(LustreAPI::GetPathsFromFID(mount.string(), fid, paths), mount.string());
    return paths;
}
std::string SearchFsName(const Path& path)
{
    char name[256] = {};
    std::string msg;
    CheckResult(LustreAPI::SearchFsName(path.c_str(), name, msg), msg, path.string());
    return std::string(name, strnlen(name, sizeof name));
}

int MdtIndexByFd(int fd, const CLustreFID& fid)
{
    const lu_fid raw = fid.LuFid();
    int index = -1;
    std::string msg;
    CheckResult(LustreAPI::GetMDTIndexByFid(fd, &raw, &index, msg), msg);
    return index;
}

int MdtIndexByPath(const Path& path, const CLustreFID& fid)
{
    const common::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.Valid()) throw Failure(errno, std::strerror(errno), path.string());
    try {
        return MdtIndexByFd(fd.Get(), fid);
    } catch (Failure& f) {
        throw Failure(f.Errno(), f.what(), path.string());
    }
}

}  // namespace

void BindIdentifiers(py::module_& m)
{
    using release = py::call_guard<py::gil_scoped_release>;
    using Fid = const CLustreFID&;
    Public(py::class_<CLustreFID>(m, "Fid", PublicClass(),
                                  "A Lustre file identifier: sequence, object id and version.\n\n"
                                  "Fid(text) reads a FID as Lustre's llapi_fid_parse reads one, the whole\n"
                                  "text: [seq:oid:ver] (brackets optional; each number 0x-hexadecimal,\n"
                                  "0-octal or decimal), and raises ValueError, saying why, for text that\n"
                                  "is not one; Fid(seq, oid, ver=0) takes the numbers. str() gives the\n"
                                  "text form [0x200000400:0x1:0x0]. Immutable, hashable, ordered by\n"
                                  "(seq, oid, ver). Wherever a call takes a Fid, its text does too (text\n"
                                  "that is not a FID is then refused with TypeError, as an argument of\n"
                                  "the wrong kind)."))
        .def(py::init(&FidFromText), py::arg("text"),
             "__init__(self, *args)\n--\n\nFid(text), or Fid(seq, oid, ver=0): see the class.")
        .def(py::init([](unsigned long long seq, unsigned int oid, unsigned int ver) {
                 return CLustreFID(lu_fid{seq, oid, ver});
             }),
             py::arg("seq"), py::arg("oid"), py::arg("ver") = 0)
        .def_readonly("seq", &CLustreFID::m_seq, "The sequence number.")
        .def_readonly("oid", &CLustreFID::m_oid, "The object id within the sequence.")
        .def_readonly("ver", &CLustreFID::m_ver, "The version.")
        .def("__str__", &CLustreFID::Text, "__str__(self)\n--\n\nThe text form, [0x200000400:0x1:0x0].")
        .def(
            "__repr__", [](Fid fid) { return "Fid('" + fid.Text() + "')"; }, "__repr__(self)\n--\n\n")
        .def(
            "__hash__", [](Fid fid) { return py::hash(py::cast(Key(fid))); }, "__hash__(self)\n--\n\n")
        .def(
            "__eq__", [](Fid a, Fid b) { return a == b; }, py::is_operator(), "__eq__(self, other)\n--\n\n")
        .def(
            "__ne__", [](Fid a, Fid b) { return a != b; }, py::is_operator(), "__ne__(self, other)\n--\n\n")
        .def(
            "__lt__", [](Fid a, Fid b) { return a < b; }, py::is_operator(), "__lt__(self, other)\n--\n\n")
        .def(
            "__le__", [](Fid a, Fid b) { return a <= b; }, py::is_operator(), "__le__(self, other)\n--\n\n")
        .def(
            "__gt__", [](Fid a, Fid b) { return a > b; }, py::is_operator(), "__gt__(self, other)\n--\n\n")
        .def(
            "__ge__", [](Fid a, Fid b) { return a >= b; }, py::is_operator(), "__ge__(self, other)\n--\n\n")
        .def(
            "__reduce__",
            [](const py::object& self) {
                const auto& fid = self.cast<Fid>();
                return py::make_tuple(self.get_type(), py::make_tuple(fid.m_seq, fid.m_oid, fid.m_ver));
            },
            "__reduce__(self)\n--\n\nFor pickle and copy: Fid(seq, oid, ver).");
    // A FID parameter also takes its text.
    py::implicitly_convertible<py::str, CLustreFID>();

    m.def("path2fid", &Path2Fid, py::arg("path"), release(),
          "path2fid(path)\n--\n\n"
          "The Fid of the file at path (of a symbolic link itself, not its target).");
    m.def("fid2path", &Fid2Path, py::arg("mount"), py::arg("fid"), release(),
          "fid2path(mount, fid)\n--\n\n"
          "A list of every path of the file fid (a Fid or its text) in the file\n"
          "system of mount (its mount point, or a path inside it), one per hard\n"
          "link in link-number order, each below the mount point. A file system's\n"
          "name raises LustreFileNotFoundError (ENOENT): it names no directory.");
    m.def("search_fsname", &SearchFsName, py::arg("path"), release(),
          "search_fsname(path)\n--\n\n"
          "The name (a str) of the Lustre file system holding path; LustreError (ENODEV)\n"
          "outside every Lustre mount.");
    m.def("mdt_index", &MdtIndexByFd, py::arg("fd"), py::arg("fid"), release());
    m.def("mdt_index", &MdtIndexByPath, py::arg("path"), py::arg("fid"), release(),
          "mdt_index(fd_or_path, fid)\n--\n\n"
          "The index (an int) of the MDT serving fid, asked through an open descriptor or a\n"
          "path anywhere inside the file system.");
}

}  // namespace lustrepy
