// The stand-in tools against recorded sessions, one per imitated Lustre
// version: sessions/lustre-<version>.txt. Each "$ " line is run by /bin/sh
// against a state directory of that version, in the order of the file, so
// state carries over until a line beginning with "## " starts a fresh one.
// The session is written out again as
//   $ <command>
//   <standard output>
//   2> <each line of standard error>
//   [exit <status>]          (only when not 0)
// with "%" ending a stream that lacks its final line break and the state
// directory written as "$LUSTRE_SIM_STATE". Lines beginning
// with '#' are comments. The result must equal the file byte for byte;
// LUSTRESIM_UPDATE_SESSIONS=1 rewrites the files instead. The sessions were
// recorded as root (the administrative HSM flags of "lfs hsm_set" need it),
// so another user replays them as root of a user namespace of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "TestSupport.h"

namespace {

// A fresh state directory made with "lustre-sim init" for a version.
class SimState {
public:
    explicit SimState(const std::string& version)
    {
        const testsupport::Outcome init = Sh("lustre-sim init \"$LUSTRE_SIM_STATE\" --version " + version);
        EXPECT_EQ(init.status, 0) << init.err;
    }

    testsupport::TempDir dir;
    const std::string state = dir / "state";

    // Runs a /bin/sh command line in the temporary directory (so relative
    // paths land there) with the tools first on PATH.
    testsupport::Outcome Sh(const std::string& command) const
    {
        const char* path = std::getenv("PATH");
        return testsupport::Shell(command,
                                  {{"PATH", std::string(LUSTRESIM_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin")},
                                   {"LUSTRE_SIM_STATE", state},
                                   {"LUSTRE_SIM_HOST", ""},
                                   {"LUSTRE_SIM_ARGV_LOG", ""}},
                                  dir.path());
    }
};

std::string Stream(const std::string& text, const std::string& prefix)
{
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) out += prefix + line + "\n";
    if (!text.empty() && text.back() != '\n') out.back() = '%', out += '\n';
    return out;
}

// text with the state directory written as "$LUSTRE_SIM_STATE".
std::string Named(std::string text, const std::string& state)
{
    const std::string name = "$LUSTRE_SIM_STATE";
    for (size_t at = 0; (at = text.find(state, at)) != std::string::npos; at += name.size())
        text.replace(at, state.size(), name);
    return text;
}

// The session the file describes, as the tools play it now.
std::string Replay(const std::string& version, const std::string& golden)
{
    auto sim = std::make_unique<SimState>(version);
    std::string result;
    std::istringstream lines(golden);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("## ", 0) == 0) sim = std::make_unique<SimState>(version);
        if (line.rfind("#", 0) == 0) result += line + "\n";
        if (line.rfind("$ ", 0) != 0) continue;
        const testsupport::Outcome o = sim->Sh(line.substr(2));
        result += line + "\n" + Stream(Named(o.out, sim->state), "") + Stream(Named(o.err, sim->state), "2> ");
        if (o.status != 0) result += "[exit " + std::to_string(o.status) + "]\n";
    }
    return result;
}

TEST(StandInTools, ReplayTheRecordedSessionOfEachVersion)
{
    if (const std::string why = testsupport::ActAsRoot(); !why.empty()) GTEST_SKIP() << why;
    const bool update = std::getenv("LUSTRESIM_UPDATE_SESSIONS") != nullptr;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(SESSIONS_DIR)) {
        const std::string name = entry.path().filename();
        if (name.rfind("lustre-", 0) != 0 || entry.path().extension() != ".txt") continue;
        const std::string version = name.substr(7, name.size() - 11);
        SCOPED_TRACE(name);
        ++files;
        const std::string golden = testsupport::ReadFile(entry.path());
        const std::string replayed = Replay(version, golden);
        if (update)
            std::ofstream(entry.path(), std::ios::binary) << replayed;
        else
            EXPECT_EQ(replayed, golden);
    }
    EXPECT_GE(files, 6);
}

}  // namespace
