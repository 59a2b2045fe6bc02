#include "DemoWatcher.h"

#include "DemoReport.h"
#include "ZqLib.h"

namespace demo {
namespace {

// 'text' for /bin/sh, with each ' written as '\''.
std::string ShellQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

bool StandInCommand(const std::string& command, std::string& why)
{
    std::string output;
    std::string errors;
    const int status = ZqProcess::system(command.c_str(), &output, &errors, 30000, false);
    while (!errors.empty() && (errors.back() == '\n' || errors.back() == ' ')) errors.pop_back();
    if (status == 0) return true;
    why = Format("%s: exit status %d: %s", command.c_str(), status, errors.c_str());
    return false;
}

StandInWatcher::~StandInWatcher()
{
    std::string ignored;
    if (m_running) StandInCommand("lustre-sim unwatch " + ShellQuoted(m_fs), ignored);
}

bool StandInWatcher::Start(std::string& why)
{
    m_running = StandInCommand("lustre-sim watch " + ShellQuoted(m_fs), why);
    return m_running;
}

bool StandInWatcher::Flush(std::string& why)
{
    return StandInCommand("lustre-sim watch-flush " + ShellQuoted(m_fs), why);
}

bool StandInWatcher::Stop(std::string& why)
{
    m_running = false;
    return StandInCommand("lustre-sim unwatch " + ShellQuoted(m_fs), why);
}

}  // namespace demo
