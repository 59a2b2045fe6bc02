#include "ChangelogTestSupport.h"


#include <cstdlib>
#include <filesystem>

namespace changelog_test {

const char kRunCommandFunction[] =
    "CKxError LustreAPI::RunCommand(const string&, std::__cxx11::list<std::__cxx11::basic_string<char> >&)";
const char kGetChangelogsFunction[] =
    "CKxError LustreAPI::GetChangelogs(const string&, const string&, const string&, const string&, const string&)";
const char kGetMDTListFunction[] =
    "CKxError LustreAPI::GetMDTList(const string&, std::vector<std::__cxx11::basic_string<char> >&, "
    "std::vector<std::__cxx11::basic_string<char> >&)";
const char kRegisterFunction[] =
    "CKxError LustreAPI::RegisterChangelog(const string&, const string&, const string&, const string&, "
    "std::string&)";
const char kDeRegisterFunction[] =
    "CKxError LustreAPI::DeRegisterChangelog(const string&, const string&, const string&, const string&, "
    "std::string&)";
const char kCurrentIndexFunction[] =
    "CKxError LustreAPI::GetChangelogCurrentIndex(const string&, const string&, const string&, const string&, "
    "std::string&)";
const char kStartAndEndFunction[] =
    "CKxError LustreAPI::GetStartAndEndChangelogRecordNumbers(const string&, const string&, const string&, "
    "const string&, const string&, std::string&, std::string&)";

namespace {

std::string PathWith(const std::string& dir) {
    const char* path = std::getenv("PATH");
    return dir + ":" + (path ? path : "/usr/bin:/bin");
}

const char kRecord[] =
    "{ printf '%s' \"$tool\"; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; printf '\\n'; } >> \"$dir/argv.log\"\n";

}  // namespace

FakeTools::FakeTools() : m_dir(), m_path("PATH", PathWith(m_dir / "bin")) {
    std::filesystem::create_directory(m_dir / "bin");
    const std::string head = "#!/bin/sh\ndir='" + m_dir.path() + "'\ntool=$(basename \"$0\")\n" + kRecord;
    const std::string printer = head +
                                "[ -f \"$dir/$tool.err\" ] && cat \"$dir/$tool.err\" >&2\n"
                                "[ -f \"$dir/$tool.out\" ] && cat \"$dir/$tool.out\"\n"
                                "exit $(cat \"$dir/$tool.rc\" 2>/dev/null || echo 0)\n";
    testsupport::WriteExecutable(m_dir / "bin/lctl", printer);
    testsupport::WriteExecutable(m_dir / "bin/lfs", printer);
    testsupport::WriteExecutable(m_dir / "bin/ssh", head +
                                       "if [ -f \"$dir/ssh.refuse\" ]; then\n"
                                       "  echo \"$1: Permission denied (publickey).\" >&2; exit 255\n"
                                       "fi\n"
                                       "shift\n"
                                       "exec /bin/sh -c \"$*\"\n");
}

void FakeTools::SetOutput(const std::string& tool, const std::string& out, const std::string& err, int rc) {
    WriteFile(m_dir / (tool + ".out"), out);
    WriteFile(m_dir / (tool + ".err"), err);
    WriteFile(m_dir / (tool + ".rc"), std::to_string(rc) + "\n");
}

void FakeTools::RefuseLogin() { WriteFile(m_dir / "ssh.refuse", ""); }

std::vector<std::string> FakeTools::Invocations() const { return ReadLines(m_dir / "argv.log"); }

::testing::AssertionResult IsError774(const CKxError& error, const std::string& message, const char* function) {
    if (!error.Failed()) return ::testing::AssertionFailure() << "succeeded; expected \"" << message << "\"";
    if (error.GetSystemError() != 774)
        return ::testing::AssertionFailure() << "made from " << error.GetSystemError() << ", not 774";
    const auto messages = error.GetMessages();
    const auto locations = error.GetLocations();
    if (messages.size() != 1 || messages[0] != message)
        return ::testing::AssertionFailure() << "messages: " << ::testing::PrintToString(messages)
                                             << "\nexpected: \"" << message << "\"";
    if (locations.size() != 1 || std::string(locations[0].m_file) != "LustreAPI" ||
        std::string(locations[0].m_function) != function)
        return ::testing::AssertionFailure() << "location: " << error.ToString();
    return ::testing::AssertionSuccess();
}

}  // namespace changelog_test
