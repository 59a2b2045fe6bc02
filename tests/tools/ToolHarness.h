// Runs the stand-in tools through /bin/sh against a temporary state
// directory and captures what they print.
#pragma once
#include <map>
#include <string>

#include "TestSupport.h"

namespace simtest {

using testsupport::Outcome;
using testsupport::ReadFile;

class SimState {
public:
    // A fresh state directory made with "lustre-sim init" for version.
    explicit SimState(const std::string& version);

    const std::string& Dir() const { return m_dir.path(); }

    // Runs a /bin/sh command line in Dir() with the tools first on PATH and
    // LUSTRE_SIM_STATE set; env adds or overrides variables.
    Outcome Sh(const std::string& command, const std::map<std::string, std::string>& env = {}) const;

private:
    testsupport::TempDir m_dir;  // the state is m_dir + "/state"
};

}  // namespace simtest
