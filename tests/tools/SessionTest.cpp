// The stand-in tools against recorded sessions, one per imitated Lustre
// version: sessions/lustre-<version>.txt, transcripts (DataFiles.h). Each
// step is run by /bin/sh against a state directory of that version, in the
// order of the file, so state carries over until a case starts a fresh one;
// the state directory is written as "$LUSTRE_SIM_STATE". The sessions were
// recorded as root (the administrative HSM flags of "lfs hsm_set" need it),
// so another user replays them as root of a user namespace of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "DataFiles.h"

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
    // paths land there) with the tools first on PATH; the state directory
    // is written as "$LUSTRE_SIM_STATE" in its output.
    testsupport::Outcome Sh(const std::string& command) const
    {
        const char* path = std::getenv("PATH");
        testsupport::Outcome o =
            testsupport::Shell(command,
                               {{"PATH", std::string(LUSTRESIM_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin")},
                                {"LUSTRE_SIM_STATE", state},
                                {"LUSTRE_SIM_HOST", ""},
                                {"LUSTRE_SIM_ARGV_LOG", ""}},
                               dir.path());
        const std::string name = "$LUSTRE_SIM_STATE";
        for (std::string* text : {&o.out, &o.err})
            for (size_t at = 0; (at = text->find(state, at)) != std::string::npos; at += name.size())
                text->replace(at, state.size(), name);
        return o;
    }
};

TEST(StandInTools, ReplayTheRecordedSessionOfEachVersion)
{
    if (const std::string why = testsupport::ActAsRoot(); !why.empty()) GTEST_SKIP() << why;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(SESSIONS_DIR)) {
        const std::string name = entry.path().filename();
        if (name.rfind("lustre-", 0) != 0 || entry.path().extension() != ".txt") continue;
        const std::string version = name.substr(7, name.size() - 11);
        SCOPED_TRACE(name);
        ++files;
        std::unique_ptr<SimState> sim;
        const testsupport::Replayed r =
            testsupport::ReplayTranscript(entry.path(), [&](const testsupport::TranscriptStep& step) {
                if (step.fresh) sim = std::make_unique<SimState>(version);
                return sim->Sh(step.command);
            });
        EXPECT_EQ(r.replayed, r.recorded);
    }
    EXPECT_GE(files, 6);
}

}  // namespace
