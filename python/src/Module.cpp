// The extension lustreapi._lustreapi: the binding to Lustre's library and
// the parts added by the other files of this directory.
#include <pybind11/stl.h>

#include <string_view>
#include <unordered_map>

#include "Bindings.h"
#include "Errors.h"
#include "LustreAPI.h"

namespace py = pybind11;

namespace lustrepy {

namespace {

// A module of the package, kept for the life of the process (as Python keeps
// it in sys.modules) by the static that holds what this returns.
PyObject* Imported(const char* name) { return py::module_::import(name).release().ptr(); }

}  // namespace

py::object MakeEnum(const char* type, long long value)
{
    // The members met so far, by type and value, each kept for the life of
    // the process, as its enum keeps it: an enum's call costs half a
    // microsecond, a lookup here a few nanoseconds. Used with the GIL held.
    static auto* const members = new std::unordered_map<std::string_view, std::unordered_map<long long, PyObject*>>();
    auto& ofType = (*members)[type];
    if (const auto known = ofType.find(value); known != ofType.end())
        return py::reinterpret_borrow<py::object>(known->second);
    static PyObject* const enums = Imported("lustreapi._enums");
    py::object member;
    try {
        member = py::handle(enums).attr(type)(value);
    } catch (py::error_already_set& e) {
        // Flags keep unknown bits; an IntEnum has no member for a number
        // Lustre added later.
        if (!e.matches(PyExc_ValueError)) throw;
        member = py::int_(value);
    }
    // Bounded by the values Lustre can give (flags: their combinations).
    if (ofType.size() < 4096) ofType.emplace(value, member.inc_ref().ptr());
    return member;
}

py::object MakeResult(const char* type, std::initializer_list<py::object> fields)
{
    static auto* const types = new std::unordered_map<std::string_view, PyTypeObject*>();
    PyTypeObject*& tupleType = (*types)[type];
    if (!tupleType) {
        static PyObject* const results = Imported("lustreapi._results");
        tupleType = reinterpret_cast<PyTypeObject*>(py::object(py::handle(results).attr(type)).release().ptr());
    }
    // The named tuple's own __new__ only packs its fields into the tuple,
    // which is made here directly: a tuple of the subclass, whose items are
    // set before anyone sees it.
    PyObject* const tuple = tupleType->tp_alloc(tupleType, static_cast<Py_ssize_t>(fields.size()));
    if (!tuple) throw py::error_already_set();
    Py_ssize_t i = 0;
    for (const py::object& field : fields) PyTuple_SET_ITEM(tuple, i++, field.inc_ref().ptr());
    return py::reinterpret_steal<py::object>(tuple);
}

py::metaclass PublicClass()
{
    static PyObject* const metaclass = [] {
        const py::detail::internals& internals = py::detail::get_internals();
        return py::module_::import("lustreapi._public")
            .attr("public_class_type")(py::handle(reinterpret_cast<PyObject*>(internals.default_metaclass)),
                                       py::handle(internals.instance_base))
            .release()
            .ptr();
    }();
    return py::metaclass(metaclass);
}

namespace {

// Lustre's values, from the header the library is built with, for the enums
// of lustreapi._enums.
py::dict Constants()
{
    py::dict c;
    c["HUA_NONE"] = static_cast<int>(HUA_NONE);
    c["HUA_ARCHIVE"] = static_cast<int>(HUA_ARCHIVE);
    c["HUA_RESTORE"] = static_cast<int>(HUA_RESTORE);
    c["HUA_RELEASE"] = static_cast<int>(HUA_RELEASE);
    c["HUA_REMOVE"] = static_cast<int>(HUA_REMOVE);
    c["HUA_CANCEL"] = static_cast<int>(HUA_CANCEL);
    c["HSMA_NONE"] = static_cast<int>(HSMA_NONE);
    c["HSMA_ARCHIVE"] = static_cast<int>(HSMA_ARCHIVE);
    c["HSMA_RESTORE"] = static_cast<int>(HSMA_RESTORE);
    c["HSMA_REMOVE"] = static_cast<int>(HSMA_REMOVE);
    c["HSMA_CANCEL"] = static_cast<int>(HSMA_CANCEL);
    c["HS_NONE"] = static_cast<int>(HS_NONE);
    c["HS_EXISTS"] = static_cast<int>(HS_EXISTS);
    c["HS_DIRTY"] = static_cast<int>(HS_DIRTY);
    c["HS_RELEASED"] = static_cast<int>(HS_RELEASED);
    c["HS_ARCHIVED"] = static_cast<int>(HS_ARCHIVED);
    c["HS_NORELEASE"] = static_cast<int>(HS_NORELEASE);
    c["HS_NOARCHIVE"] = static_cast<int>(HS_NOARCHIVE);
    c["HS_LOST"] = static_cast<int>(HS_LOST);
    c["HPS_NONE"] = static_cast<int>(HPS_NONE);
    c["HPS_WAITING"] = static_cast<int>(HPS_WAITING);
    c["HPS_RUNNING"] = static_cast<int>(HPS_RUNNING);
    c["HPS_DONE"] = static_cast<int>(HPS_DONE);
    c["HP_FLAG_COMPLETED"] = static_cast<int>(HP_FLAG_COMPLETED);
    c["HP_FLAG_RETRY"] = static_cast<int>(HP_FLAG_RETRY);
    // The record types by number, as "lfs changelog" names them.
    py::list recordTypes;
    for (int type = 0; type < CL_LAST; ++type) recordTypes.append(changelog_type2str(type));
    c["RECORD_TYPES"] = recordTypes;
    return c;
}

}  // namespace
}  // namespace lustrepy

PYBIND11_MODULE(_lustreapi, m)
{
    using namespace lustrepy;
    // Each docstring begins with its own signature as Python's builtins
    // write it, "name(parameters)\n--\n\n", which inspect.signature and
    // help() read.
    py::options options;
    options.disable_function_signatures();
    m.doc() = "The compiled part of lustreapi; import lustreapi instead.";
    m.attr("CONSTANTS") = Constants();
    RegisterErrors(m);
    BindLogging(m);

    m.def(
        "load", [] { CheckError(LustreAPI::LoadFunctions()); }, py::call_guard<py::gil_scoped_release>(),
        "load()\n--\n\n"
        "Loads Lustre's liblustreapi.so (or liblustreapi.so.1) and binds its entry\n"
        "points, once per process: the HSM, copytool and FID look-up calls need it;\n"
        "FID text and the changelog calls do not. A bound library is kept; calling\n"
        "again does nothing. Raises LustreFileNotFoundError (a LustreError, errno\n"
        "ENOENT) with the loader's messages when the library or one of its fifteen\n"
        "required entry points is missing.");
    m.def("bound_entry_points", &LustreAPI::GetBoundEntryPoints,
          "bound_entry_points()\n--\n\n"
          "A list of the names of the Lustre entry points bound now, in binding order\n"
          "(\"llapi_hsm_copytool_register\", ...).");

    BindIdentifiers(m);
    BindHsm(m);
    BindChangelog(m);
    BindReader(m);
    BindCopytool(m);
}
