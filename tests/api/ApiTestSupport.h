// Helpers shared by the LustreAPI tests: a log writer that records lines, a
// record of what the library asked the loader to load, the stand-in's
// control interface and a fresh stand-in state directory.
#pragma once
#include <string>
#include <vector>

#include "KxUtils.h"
#include "LustreSimControl.h"

namespace apitest {

struct LogLine {
    int level;
    std::string function;
    std::string text;
};

// Installs itself as g_ptrLogWriter for its lifetime and records every line
// it is handed, whatever the level.
class CapturingLogWriter : public LogWriter {
public:
    explicit CapturingLogWriter(int level = 0);
    ~CapturingLogWriter() override;
    CapturingLogWriter(const CapturingLogWriter&) = delete;
    CapturingLogWriter& operator=(const CapturingLogWriter&) = delete;

    int GetLevel() override;
    void Log(int level, const char* function, int line, int, int, const char* format, ...) override;

    void SetReportedLevel(int level) { m_level = level; }
    // Lines whose text is exactly text.
    std::vector<LogLine> Matching(const std::string& text) const;

    std::vector<LogLine> lines;
    int levelQueries = 0;

private:
    int m_level;
    LogWriter* m_previous;
};

// The names handed to CKxLibrary::Load in this process so far, in order.
// The test executables interpose CKxLibrary::Load to record them.
const std::vector<std::string>& LoadedNames();

// The control interface of the stand-in liblustreapi loaded by the library
// under test; null members when no stand-in is loaded.
struct SimControl {
    lustre_sim_fail_next_t failNext = nullptr;
    lustre_sim_fail_clear_t failClear = nullptr;
    lustre_sim_call_count_t callCount = nullptr;
    lustre_sim_last_args_t lastArgs = nullptr;
    lustre_sim_last_request_t lastRequest = nullptr;
    lustre_sim_reset_t reset = nullptr;

    bool Found() const { return reset != nullptr; }
    // The last request handed to llapi_hsm_request, byte for byte.
    std::vector<unsigned char> LastRequestBytes() const;
    lustre_sim_args Args(const char* entryPoint) const;
};
// Looks the interface up in the already loaded liblustreapi.so(.1).
SimControl FindSimControl();

// A fresh stand-in state directory named by LUSTRE_SIM_STATE: file system
// "lustre" (one MDT) mounted at <dir>/mnt, archive 1 at <dir>/archive.
// Removed again, with everything in it, by the destructor.
class SimState {
public:
    SimState();
    ~SimState();
    SimState(const SimState&) = delete;
    SimState& operator=(const SimState&) = delete;

    // Creates a file (and its directories) below the mount; returns its path.
    std::string WriteFile(const std::string& relative, const std::string& contents) const;

    std::string dir;
    std::string mount;
    std::string archive;
};

std::string ReadFile(const std::string& path);

// Number of open descriptors of this process.
int OpenFdCount();

}  // namespace apitest
