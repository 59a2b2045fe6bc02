// Kinds of failure: what a failed error of the library says happened.
#include "Diagnostics.h"
#include "LustreAPI.h"

namespace LustreAPI {

ErrorKind GetErrorKind(const CKxError& error)
{
    if (!error.Failed()) return ErrorKind::None;
    if (IsRefusal(error)) return ErrorKind::Refused;
    if (IsTimeLimit(error)) return ErrorKind::TimeLimit;
    return ErrorKind::Failed;
}

}  // namespace LustreAPI
