// Runs the stand-in tools through /bin/sh against a temporary state
// directory and captures what they print.
#pragma once
#include <map>
#include <string>

namespace simtest {

struct Outcome {
    std::string out;
    std::string err;
    int status = -1;
};

class SimState {
public:
    // A fresh state directory made with "lustre-sim init" for version.
    explicit SimState(const std::string& version);
    ~SimState();
    SimState(const SimState&) = delete;
    SimState& operator=(const SimState&) = delete;

    const std::string& Dir() const { return m_dir; }

    // Runs a /bin/sh command line in Dir() with the tools first on PATH and
    // LUSTRE_SIM_STATE set; env adds or overrides variables.
    Outcome Sh(const std::string& command, const std::map<std::string, std::string>& env = {}) const;
    // Runs a lustre-sim command; a failure fails the current test.
    std::string Sim(const std::string& args) const;

private:
    std::string m_dir;  // the temporary directory; the state is m_dir + "/state"
    std::string m_state;
};

std::string ReadFile(const std::string& path);

// File systems "lustre" (2 MDTs, on mds1 and mds2) and "lustre2" (1 MDT, no
// server), each mounted once; root may log in to mds1 and mds2; the clock
// stands at kStartTime.
constexpr long long kStartTime = 1000000;
void SetUpCluster(const SimState& sim);

}  // namespace simtest
