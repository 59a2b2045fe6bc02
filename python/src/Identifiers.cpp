// lustreapi.Fid and the conversions between paths and FIDs.
#include <fcntl.h>
#include <pybind11/operators.h>
#include <pybind11/stl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <tuple>

#include "Bindings.h"
#include "Errors.h"
#include "LustreAPI.h"
#include "UniqueFd.h"

namespace py = pybind11;
using LustreAPI::CLustreFID;

namespace lustrepy {
namespace {

// The library's constructor, made strict for Python: text that names no FID
// raises ValueError instead of giving [0x0:0x0:0x0]. The text is converted
// once and moved into the constructor; the message quotes the Python str.
CLustreFID FidFromText(const py::str& text)
{
    try {
        CLustreFID fid(text.cast<std::string>());
        if (fid.m_seq != 0 || fid.m_oid != 0 || fid.m_ver != 0) return fid;
    } catch (const std::logic_error&) {  // std::invalid_argument, std::out_of_range
    }
    throw py::value_error("not a FID: " + py::repr(text).cast<std::string>() +
                          " (expected [seq:oid:ver], for example [0x200000400:0x1:0x0])");
}

std::string FidText(const CLustreFID& fid)
{
    char text[64];
    std::snprintf(text, sizeof text, "[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
    return text;
}

auto Key(const CLustreFID& fid) { return std::make_tuple(fid.m_seq, fid.m_oid, fid.m_ver); }

lu_fid ToLuFid(const CLustreFID& fid)
{
    lu_fid raw{};
    raw.f_seq = fid.m_seq;
    raw.f_oid = fid.m_oid;
    raw.f_ver = fid.m_ver;
    return raw;
}

CLustreFID Path2Fid(const Path& path)
{
    lu_fid found{};
    std::string msg;
    CheckResult(LustreAPI::Path2FID(path.string(), found, msg), msg, path.string());
    CLustreFID fid;
    fid.m_seq = found.f_seq;
    fid.m_oid = found.f_oid;
    fid.m_ver = found.f_ver;
    return fid;
}

// Every path of the file, by link number: Lustre hands back the next link
// number with each path and the same number at the last one.
std::vector<std::string> Fid2Path(const Path& mount, CLustreFID fid)
{
    std::vector<std::string> paths;
    int linkNo = 0;
    // A file has at most 65000 hard links in ldiskfs; a larger count here
    // can only come from a library that never stops.
    constexpr size_t kMaxLinks = 65536;
    while (paths.size() < kMaxLinks) {
        std::string path;
        long long recNo = 0;
        const int asked = linkNo;
        CheckError(LustreAPI::GetPathFromFID(mount.string(), fid, path, linkNo, recNo), mount.string());
        paths.push_back(path);
        if (linkNo <= asked) break;
    }
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
    const lu_fid raw = ToLuFid(fid);
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
    Public(py::class_<CLustreFID>(m, "Fid",
                                  "A Lustre file identifier: sequence, object id and version.\n\n"
                                  "Fid(text) parses \"[seq:oid:ver]\" (brackets optional; each number\n"
                                  "decimal, 0x-hexadecimal or 0-octal) and raises ValueError for text\n"
                                  "that names no FID; Fid(seq, oid, ver) takes the numbers. str() gives\n"
                                  "the text form [0x200000400:0x1:0x0]. Immutable, hashable, ordered by\n"
                                  "(seq, oid, ver)."))
        .def(py::init(&FidFromText), py::arg("text"))
        .def(py::init([](unsigned long long seq, unsigned int oid, unsigned int ver) {
                 CLustreFID fid;
                 fid.m_seq = seq;
                 fid.m_oid = oid;
                 fid.m_ver = ver;
                 return fid;
             }),
             py::arg("seq"), py::arg("oid"), py::arg("ver") = 0)
        .def_readonly("seq", &CLustreFID::m_seq, "The sequence number.")
        .def_readonly("oid", &CLustreFID::m_oid, "The object id within the sequence.")
        .def_readonly("ver", &CLustreFID::m_ver, "The version.")
        .def("__str__", &FidText)
        .def("__repr__", [](const CLustreFID& fid) { return "Fid('" + FidText(fid) + "')"; })
        .def("__hash__", [](const CLustreFID& fid) { return py::hash(py::cast(Key(fid))); })
        .def(
            "__eq__", [](const CLustreFID& a, const CLustreFID& b) { return Key(a) == Key(b); }, py::is_operator())
        .def(
            "__ne__", [](const CLustreFID& a, const CLustreFID& b) { return Key(a) != Key(b); }, py::is_operator())
        .def(
            "__lt__", [](const CLustreFID& a, const CLustreFID& b) { return Key(a) < Key(b); }, py::is_operator())
        .def(
            "__le__", [](const CLustreFID& a, const CLustreFID& b) { return Key(a) <= Key(b); }, py::is_operator())
        .def(
            "__gt__", [](const CLustreFID& a, const CLustreFID& b) { return Key(a) > Key(b); }, py::is_operator())
        .def(
            "__ge__", [](const CLustreFID& a, const CLustreFID& b) { return Key(a) >= Key(b); }, py::is_operator())
        .def(py::pickle([](const CLustreFID& fid) { return py::make_tuple(fid.m_seq, fid.m_oid, fid.m_ver); },
                        [](const py::tuple& t) {
                            CLustreFID fid;
                            fid.m_seq = t[0].cast<unsigned long long>();
                            fid.m_oid = t[1].cast<unsigned int>();
                            fid.m_ver = t[2].cast<unsigned int>();
                            return fid;
                        }));
    // A FID parameter also takes its text.
    py::implicitly_convertible<py::str, CLustreFID>();

    m.def("path2fid", &Path2Fid, py::arg("path"), release(),
          "path2fid(path) -> Fid\n\n"
          "The FID of the file at path (of a symbolic link itself, not its target).");
    m.def("fid2path", &Fid2Path, py::arg("mount"), py::arg("fid"), release(),
          "fid2path(mount, fid) -> list[str]\n\n"
          "Every path of the file fid (a Fid or its text) in the file system of\n"
          "mount (its mount point, or a path inside it), one per hard link in\n"
          "link-number order, each below the mount point. A file system's name\n"
          "raises LustreError (ENOENT): it names no directory.");
    m.def("search_fsname", &SearchFsName, py::arg("path"), release(),
          "search_fsname(path) -> str\n\n"
          "The name of the Lustre file system holding path; LustreError (ENODEV)\n"
          "outside every Lustre mount.");
    m.def("mdt_index", &MdtIndexByFd, py::arg("fd"), py::arg("fid"), release());
    m.def("mdt_index", &MdtIndexByPath, py::arg("path"), py::arg("fid"), release(),
          "mdt_index(fd_or_path, fid) -> int\n\n"
          "The index of the MDT serving fid, asked through an open descriptor or a\n"
          "path anywhere inside the file system.");
}

}  // namespace lustrepy
