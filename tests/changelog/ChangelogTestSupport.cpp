#include "ChangelogTestSupport.h"

namespace changelog_test {

const char kRunCommandFunction[] =
    "CKxError LustreAPI::RunCommand(const string&, std::__cxx11::list<std::__cxx11::basic_string<char> >&)";
const char kStartAndEndFunction[] =
    "CKxError LustreAPI::GetStartAndEndChangelogRecordNumbers(const string&, const string&, const string&, "
    "const string&, const string&, std::string&, std::string&)";

::testing::AssertionResult IsError774(const CKxError& error, const std::string& message, const char* function)
{
    if (!error.Failed()) return ::testing::AssertionFailure() << "succeeded; expected \"" << message << "\"";
    const auto locations = error.GetLocations();
    if (error.GetSystemError() != 774 || error.GetMessages() != std::vector<std::string>{message} ||
        std::string(locations.at(0).m_file) != "LustreAPI" ||
        (function && std::string(locations.at(0).m_function) != function))
        return ::testing::AssertionFailure() << error.ToString() << "\nexpected: \"" << message << "\"";
    return ::testing::AssertionSuccess();
}

}  // namespace changelog_test
