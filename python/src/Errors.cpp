// LustreError and the one translation of the library's failures into it.
#include "Errors.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "LustreAPI.h"

namespace py = pybind11;

namespace lustrepy {

Failure::Failure(int errnum, const std::string& message, std::string filename)
    : std::runtime_error(message), m_errno(errnum), m_filename(std::move(filename))
{
}

void CheckResult(int result, const std::string& msg, const std::string& filename)
{
    if (result >= 0) return;
    throw Failure(-result, msg.empty() ? std::strerror(-result) : msg, filename);
}

namespace {

// HRESULT_FROM_WIN32 puts the facility bits 0x8007 over a Win32 code. The
// loader's "module not found" (126) and "procedure not found" (127) are
// ENOENT. The library's own failures (774) go by their kind: a refused
// argument EINVAL, a time limit that passed ETIMEDOUT, any other EIO.
int ErrnoOf(const CKxError& error)
{
    const unsigned code = static_cast<unsigned>(error.GetCode());
    if ((code & 0xFFFF0000u) != 0x80070000u) return -error.GetCode();
    const unsigned win32 = code & 0xFFFFu;
    if (win32 == 126 || win32 == 127) return ENOENT;
    switch (LustreAPI::GetErrorKind(error)) {
    case LustreAPI::ErrorKind::Refused:
        return EINVAL;
    case LustreAPI::ErrorKind::TimeLimit:
        return ETIMEDOUT;
    default:
        return EIO;
    }
}

}  // namespace

void CheckError(const CKxError& error, const std::string& filename)
{
    if (!error.Failed()) return;
    const int errnum = ErrnoOf(error);
    const std::vector<std::string> messages = error.GetMessages();
    std::string text;
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        if (it->empty()) continue;
        if (!text.empty()) text += ": ";
        text += *it;
    }
    throw Failure(errnum, text.empty() ? std::strerror(errnum) : text, filename);
}

namespace {

// lustreapi._errors: LustreError and its subclasses by errno. Kept for the
// life of the process: the translator may run until the interpreter ends.
py::handle ErrorsModule()
{
    static PyObject* const errors = py::module_::import("lustreapi._errors").release().ptr();
    return errors;
}

}  // namespace

py::object ErrorObject(const Failure& failure)
{
    // Paths are bytes: the file name as os.fsdecode gives it, the message
    // with what is not UTF-8 replaced.
    const std::string message = failure.what();
    const auto text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    const std::string& filename = failure.Filename();
    const auto name = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(filename.data(), static_cast<Py_ssize_t>(filename.size())));
    if (!text || !name) throw py::error_already_set();
    const py::handle errors = ErrorsModule();
    const py::object type = errors.attr("BY_ERRNO").attr("get")(failure.Errno(), errors.attr("LustreError"));
    return filename.empty() ? type(failure.Errno(), text) : type(failure.Errno(), text, name);
}

void RegisterErrors(py::module_& m)
{
    m.attr("LustreError") = ErrorsModule().attr("LustreError");
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const Failure& f) {
            try {
                const py::object error = ErrorObject(f);
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
            } catch (py::error_already_set& e) {
                e.restore();  // the decoding's own error is raised
            }
        }
    });
}

}  // namespace lustrepy
