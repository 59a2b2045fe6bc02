#include "ApiTestSupport.h"

#include "LustreAPI.h"

#include <dlfcn.h>

#include <stdexcept>


namespace {

std::vector<std::string>& LoadedNamesStore()
{
    static std::vector<std::string> names;
    return names;
}

}  // namespace

// Interposes the host loader's Load: the executable's definition comes first
// in the global lookup scope, so libLustreAPI.so calls this one, which
// records the name and hands over to libKxUtils.so's definition.
CKxError CKxLibrary::Load(const char* name, bool flag)
{
    LoadedNamesStore().push_back(name ? name : "(null)");
    // Itanium ABI: the hidden result pointer comes first, then this, as for a
    // free function that takes the object as its first argument.
    using RealLoad = CKxError (*)(CKxLibrary*, const char*, bool);
    static const auto real = reinterpret_cast<RealLoad>(dlsym(RTLD_NEXT, "_ZN10CKxLibrary4LoadEPKcb"));
    if (!real) throw std::runtime_error("CKxLibrary::Load not found behind the test's interposer");
    return real(this, name, flag);
}

namespace apitest {

const std::vector<std::string>& LoadedNames() { return LoadedNamesStore(); }

SimControl FindSimControl()
{
    SimControl control;
    void* handle = dlopen("liblustreapi.so", RTLD_NOW | RTLD_NOLOAD);
    if (!handle) handle = dlopen("liblustreapi.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return control;
    control.failNext = reinterpret_cast<lustre_sim_fail_next_t>(dlsym(handle, "lustre_sim_fail_next"));
    control.failClear = reinterpret_cast<lustre_sim_fail_clear_t>(dlsym(handle, "lustre_sim_fail_clear"));
    control.callCount = reinterpret_cast<lustre_sim_call_count_t>(dlsym(handle, "lustre_sim_call_count"));
    control.lastArgs = reinterpret_cast<lustre_sim_last_args_t>(dlsym(handle, "lustre_sim_last_args"));
    control.lastRequest = reinterpret_cast<lustre_sim_last_request_t>(dlsym(handle, "lustre_sim_last_request"));
    control.reset = reinterpret_cast<lustre_sim_reset_t>(dlsym(handle, "lustre_sim_reset"));
    // The handle from RTLD_NOLOAD holds a reference of its own; dropping it
    // leaves the library loaded by the library under test.
    dlclose(handle);
    if (!control.failNext || !control.failClear || !control.callCount || !control.lastArgs ||
        !control.lastRequest || !control.reset)
        return SimControl();
    return control;
}

std::vector<unsigned char> SimControl::LastRequestBytes() const
{
    const size_t length = lastRequest(nullptr, 0);
    std::vector<unsigned char> bytes(length);
    if (length) lastRequest(bytes.data(), bytes.size());
    return bytes;
}

lustre_sim_args SimControl::Args(const char* entryPoint) const
{
    lustre_sim_args args{};
    if (lastArgs(entryPoint, &args) != 0) throw std::runtime_error(std::string("no arguments recorded for ") + entryPoint);
    return args;
}

::testing::AssertionResult BindingFailed(const CKxError& error, const std::string& asked, const std::string& pushed)
{
    const std::vector<std::string> messages = error.GetMessages();
    if (error.GetCode() >= 0 || messages.size() != 2 || messages[0].find(asked) == std::string::npos ||
        messages[1] != pushed ||
        std::string(error.GetLocations().back().m_function) != "CKxError LustreAPI::LoadFunctions()")
        return ::testing::AssertionFailure() << "code " << error.GetCode() << ":\n" << error.ToString();
    return ::testing::AssertionSuccess();
}

void BoundTest::SetUp()
{
    ASSERT_GE(LustreAPI::LoadFunctions().GetCode(), 0);
    sim = FindSimControl();
    ASSERT_TRUE(sim.Found()) << "stand-in control interface not found";
    sim.reset();
}

void BoundTest::TearDown()
{
    if (sim.Found()) sim.reset();
}

}  // namespace apitest
