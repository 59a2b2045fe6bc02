// The library's log lines as records of Python's logger "lustreapi": level 0
// (every line the library writes by asking the level first, failures
// included) as INFO, level -1 (the two lines it writes without asking: an
// HSM request's file that could not be opened, a request that could not be
// allocated) as WARNING, which Python's default handling shows.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "Bindings.h"
#include "LogWriter.h"

namespace py = pybind11;

namespace lustrepy {
namespace {

class PythonLogWriter : public LogWriter {
public:
    // Every line reaches Log, which asks the logger: the level of a Python
    // logger can change at any time and is read with the GIL held.
    int GetLevel() override { return 0; }

    void Log(int level, const char*, int, int, int, const char* format, ...) override
        __attribute__((format(printf, 7, 8)))
    {
        va_list args;
        va_start(args, format);
        char buffer[1024];
        const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
        if (length < 0) return;
        const std::string text(buffer, std::min<size_t>(static_cast<size_t>(length), sizeof buffer - 1));
        if (!Py_IsInitialized() || _Py_IsFinalizing()) return;
        py::gil_scoped_acquire gil;
        // A failure to log must not become the caller's failure.
        try {
            const int pyLevel = level < 0 ? 30 : 20;  // logging.WARNING, logging.INFO
            py::object logger = py::module_::import("logging").attr("getLogger")("lustreapi");
            if (logger.attr("isEnabledFor")(pyLevel).cast<bool>()) logger.attr("log")(pyLevel, "%s", text);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("lustreapi log line");
        }
    }
};

}  // namespace

void BindLogging(py::module_& m)
{
    // Lives as long as the process: the library may log until it is unloaded.
    static PythonLogWriter* const writer = new PythonLogWriter;
    g_ptrLogWriter = writer;
    // The library's lines must not reach Python once the interpreter ends.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { g_ptrLogWriter = nullptr; }));
    m.attr("LOGGER_NAME") = "lustreapi";
}

}  // namespace lustrepy
