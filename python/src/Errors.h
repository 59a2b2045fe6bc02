// Failures of the library as lustreapi.LustreError, an OSError subclass
// carrying the errno and the library's message, or one of its subclasses by
// errno.
#pragma once
#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

#include "HBError.h"

namespace lustrepy {

// Thrown by the bindings, also while the GIL is released: it holds no Python
// object. The translator that RegisterErrors installs raises it as
// LustreError(errnum, message[, filename]).
class Failure : public std::runtime_error {
public:
    Failure(int errnum, const std::string& message, std::string filename = {});
    int Errno() const { return m_errno; }
    const std::string& Filename() const { return m_filename; }

private:
    int m_errno;
    std::string m_filename;
};

// A pass-through result: nothing for 0 or more; a Failure for a negative
// errno, with msg as the message or, when msg is empty, strerror's text.
void CheckResult(int result, const std::string& msg, const std::string& filename = {});
// A failed error as a Failure. The errno is the error's own for errno
// failures, ENOENT for a library or entry point the loader did not find;
// for the library's own failures (LustreAPI::GetErrorKind) EINVAL for a
// refused argument, ETIMEDOUT for a time limit that passed and EIO for the
// rest, those of the commands (their message says what went wrong). The
// message joins the error's messages, newest first, with ": ".
void CheckError(const CKxError& error, const std::string& filename = {});

// The exception a Failure is raised as: lustreapi.LustreError or, for an
// errno Python has an OSError subclass for, the LustreError subclass that is
// also that class (lustreapi._errors), with errno, strerror and filename.
pybind11::object ErrorObject(const Failure& failure);

// Puts lustreapi.LustreError into m and installs the translator that raises
// each Failure as ErrorObject makes it.
void RegisterErrors(pybind11::module_& m);

}  // namespace lustrepy
