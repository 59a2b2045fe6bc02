// What the parts of the module share: the functions that add each part, the
// path parameters and the enums of lustreapi._enums.
#pragma once
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

namespace lustrepy {

// A path parameter: str, bytes or any os.PathLike, as the bytes the system
// gets (a str in the file-system encoding, undecodable bytes kept as
// os.fsencode keeps them).
class Path {
public:
    Path() = default;
    explicit Path(std::string text) : m_text(std::move(text)) {}
    const char* c_str() const { return m_text.c_str(); }
    const std::string& string() const { return m_text; }

private:
    std::string m_text;
};

void BindLogging(pybind11::module_& m);
void BindIdentifiers(pybind11::module_& m);
void BindHsm(pybind11::module_& m);
void BindChangelog(pybind11::module_& m);
void BindReader(pybind11::module_& m);
void BindCopytool(pybind11::module_& m);

// lustreapi._enums.<type>(value), for example HsmStates(9). The enums are
// Python's enum.IntEnum and enum.IntFlag classes, defined from Lustre's
// values, which the module hands to _enums as _lustreapi.CONSTANTS. Members
// are singletons: each value's is looked up once and kept. A value that is
// no member of an IntEnum (a record type of a newer Lustre) comes back as
// the int itself.
pybind11::object MakeEnum(const char* type, long long value);

// An instance of the named tuple lustreapi._results.<type> with the given
// fields, in order.
pybind11::object MakeResult(const char* type, std::initializer_list<pybind11::object> fields);

// The metaclass of every public class of the extension
// (lustreapi._public.public_class_type): help() and inspect show a class
// with its own bases, without the base pybind11 gives every class.
pybind11::metaclass PublicClass();

// Puts a class of the extension under the package's name, so that reprs,
// help() and pickling show lustreapi.Fid rather than lustreapi._lustreapi.Fid.
// The class is made with PublicClass() as its metaclass.
template <typename Class>
Class Public(Class cls)
{
    cls.attr("__module__") = "lustreapi";
    return cls;
}

}  // namespace lustrepy

namespace pybind11::detail {

template <>
struct type_caster<lustrepy::Path> {
    PYBIND11_TYPE_CASTER(lustrepy::Path, const_name("os.PathLike"));

    bool load(handle source, bool)
    {
        // A plain str whose UTF-8 form exists (no lone surrogates) is what
        // the file-system encoding makes of it on Linux: taken as it is.
        if (PyUnicode_CheckExact(source.ptr())) {
            Py_ssize_t size = 0;
            if (const char* text = PyUnicode_AsUTF8AndSize(source.ptr(), &size)) {
                value = lustrepy::Path(std::string(text, static_cast<size_t>(size)));
                return true;
            }
            PyErr_Clear();
        }
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(source.ptr(), &encoded)) {
            PyErr_Clear();
            return false;
        }
        const object bytes = reinterpret_steal<object>(encoded);
        value = lustrepy::Path(std::string(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded))));
        return true;
    }
};

}  // namespace pybind11::detail
