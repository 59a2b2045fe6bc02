// The extension lustreapi._lustreapi: the binding to Lustre's library and
// the parts added by the other files of this directory.
#include <pybind11/stl.h>

#include "Bindings.h"
#include "Errors.h"
#include "LustreAPI.h"

namespace py = pybind11;

namespace lustrepy {

py::object MakeEnum(const char* type, long long value)
{
    // Imported once and kept for the life of the process, as Python keeps
    // the module itself in sys.modules.
    static PyObject* const enums = py::module_::import("lustreapi._enums").release().ptr();
    return py::handle(enums).attr(type)(value);
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
    return c;
}

}  // namespace
}  // namespace lustrepy

PYBIND11_MODULE(_lustreapi, m)
{
    using namespace lustrepy;
    // Each docstring begins with its own signature, in Python's types.
    py::options options;
    options.disable_function_signatures();
    m.doc() = "The compiled part of lustreapi; import lustreapi instead.";
    m.attr("CONSTANTS") = Constants();
    RegisterErrors(m);
    BindLogging(m);

    m.def(
        "load", [] { CheckError(LustreAPI::LoadFunctions()); }, py::call_guard<py::gil_scoped_release>(),
        "load() -> None\n\n"
        "Loads Lustre's liblustreapi.so (or liblustreapi.so.1) and binds its entry\n"
        "points, once per process: the HSM, copytool and FID look-up calls need it;\n"
        "FID text and the changelog calls do not. A bound library is kept; calling\n"
        "again does nothing. Raises LustreError with the loader's messages when the\n"
        "library or one of its fifteen required entry points is missing.");
    m.def("bound_entry_points", &LustreAPI::GetBoundEntryPoints,
          "bound_entry_points() -> list[str]\n\n"
          "The names of the Lustre entry points bound now, in binding order\n"
          "(\"llapi_hsm_copytool_register\", ...).");

    BindIdentifiers(m);
    BindHsm(m);
    BindChangelog(m);
    BindReader(m);
    BindCopytool(m);
}
