#include "ChangelogTestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

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

RecordingLogWriter::RecordingLogWriter() : m_previous(g_ptrLogWriter) { g_ptrLogWriter = this; }

RecordingLogWriter::~RecordingLogWriter() { g_ptrLogWriter = m_previous; }

int RecordingLogWriter::GetLevel() {
    events.push_back("level?");
    const std::size_t i = m_asked < m_levels.size() ? m_asked : m_levels.size() - 1;
    ++m_asked;
    return m_levels[i];
}

void RecordingLogWriter::Log(int level, const char* function, int, int, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    lines.push_back({level, function ? function : "", text});
    events.push_back("log:" + text);
}

std::vector<std::string> RecordingLogWriter::Texts() const {
    std::vector<std::string> texts;
    for (const Line& line : lines) texts.push_back(line.text);
    return texts;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/lapi-changelog-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    const char* old = std::getenv(name);
    m_had = old != nullptr;
    if (old) m_old = old;
    ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (m_had)
        ::setenv(m_name.c_str(), m_old.c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

namespace {

std::string PathWith(const std::string& dir) {
    const char* path = std::getenv("PATH");
    return dir + ":" + (path ? path : "/usr/bin:/bin");
}

const char kRecord[] =
    "{ printf '%s' \"$tool\"; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; printf '\\n'; } >> \"$dir/argv.log\"\n";

void WriteScript(const std::string& path, const std::string& body) {
    WriteFile(path, body);
    ::chmod(path.c_str(), 0755);
}

}  // namespace

FakeTools::FakeTools() : m_dir(), m_path("PATH", PathWith(m_dir / "bin")) {
    std::filesystem::create_directory(m_dir / "bin");
    const std::string head = "#!/bin/sh\ndir='" + m_dir.path() + "'\ntool=$(basename \"$0\")\n" + kRecord;
    const std::string printer = head +
                                "[ -f \"$dir/$tool.err\" ] && cat \"$dir/$tool.err\" >&2\n"
                                "[ -f \"$dir/$tool.out\" ] && cat \"$dir/$tool.out\"\n"
                                "exit $(cat \"$dir/$tool.rc\" 2>/dev/null || echo 0)\n";
    WriteScript(m_dir / "bin/lctl", printer);
    WriteScript(m_dir / "bin/lfs", printer);
    WriteScript(m_dir / "bin/ssh", head +
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

std::vector<std::string> FakeTools::Invocations() const {
    std::vector<std::string> invocations;
    std::istringstream in(ReadFile(m_dir / "argv.log"));
    for (std::string line; std::getline(in, line);) invocations.push_back(line);
    return invocations;
}

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
