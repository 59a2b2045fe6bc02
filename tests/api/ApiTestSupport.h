// Helpers of the LustreAPI tests: what the library asked the loader to load,
// the stand-in's control interface and a fixture with the stand-in bound.
#pragma once
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DataFiles.h"
#include "KxUtils.h"
#include "LustreSimControl.h"

namespace apitest {

// The names handed to CKxLibrary::Load in this process so far, in order.
// The test executables interpose CKxLibrary::Load to record them.
std::vector<std::string>& LoadedNames();

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

using SimState = testsupport::StandInState;

// Binds the stand-in, finds its control interface and resets it; a fresh
// state directory for each test.
class BoundTest : public ::testing::Test {
protected:
    void SetUp() override;

    SimState state;
    SimControl sim;
};

}  // namespace apitest
