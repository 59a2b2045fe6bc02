// What the parts of the module share: the functions that add each part, the
// path parameters and the enums of lustreapi._enums.
#pragma once
#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>

namespace lustrepy {

// Path parameters accept str, bytes and os.PathLike objects.
using Path = std::filesystem::path;

void BindLogging(pybind11::module_& m);
void BindIdentifiers(pybind11::module_& m);
void BindHsm(pybind11::module_& m);
void BindChangelog(pybind11::module_& m);
void BindReader(pybind11::module_& m);
void BindCopytool(pybind11::module_& m);

// lustreapi._enums.<type>(value), for example HsmStates(9). The enums are
// Python's enum.IntEnum and enum.IntFlag classes, defined from Lustre's
// values, which the module hands to _enums as _lustreapi.CONSTANTS.
pybind11::object MakeEnum(const char* type, long long value);

// Puts a class of the extension under the package's name, so that reprs,
// help() and pickling show lustreapi.Fid rather than lustreapi._lustreapi.Fid.
template <typename Class>
Class Public(Class cls)
{
    cls.attr("__module__") = "lustreapi";
    return cls;
}

}  // namespace lustrepy
