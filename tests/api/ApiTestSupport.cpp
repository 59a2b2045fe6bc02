#include "ApiTestSupport.h"

#include "LustreAPI.h"

#include <dlfcn.h>

#include <stdexcept>
#include <type_traits>

// Interposes the host loader's Load: the executable's definition comes first
// in the global lookup scope, so libLustreAPI.so calls this one, which
// records the name and hands over to libKxUtils.so's definition.
CKxError CKxLibrary::Load(const char* name, bool flag)
{
    apitest::LoadedNames().push_back(name ? name : "(null)");
    // Itanium ABI: the hidden result pointer comes first, then this, as for a
    // free function that takes the object as its first argument.
    using RealLoad = CKxError (*)(CKxLibrary*, const char*, bool);
    static const auto real = reinterpret_cast<RealLoad>(dlsym(RTLD_NEXT, "_ZN10CKxLibrary4LoadEPKcb"));
    if (!real) throw std::runtime_error("CKxLibrary::Load not found behind the test's interposer");
    return real(this, name, flag);
}

namespace apitest {

std::vector<std::string>& LoadedNames()
{
    static std::vector<std::string> names;
    return names;
}

SimControl FindSimControl()
{
    void* handle = dlopen("liblustreapi.so", RTLD_NOW | RTLD_NOLOAD);
    if (!handle) handle = dlopen("liblustreapi.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return SimControl();
    const auto find = [handle](auto& slot, const char* name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(handle, name));
        return slot != nullptr;
    };
    SimControl control;
    const bool found =
        find(control.failNext, "lustre_sim_fail_next") && find(control.failClear, "lustre_sim_fail_clear") &&
        find(control.callCount, "lustre_sim_call_count") && find(control.lastArgs, "lustre_sim_last_args") &&
        find(control.lastRequest, "lustre_sim_last_request") && find(control.reset, "lustre_sim_reset");
    // The handle from RTLD_NOLOAD holds a reference of its own; dropping it
    // leaves the library loaded by the library under test.
    dlclose(handle);
    return found ? control : SimControl();
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
    if (lastArgs(entryPoint, &args) != 0)
        throw std::runtime_error(std::string("no arguments recorded for ") + entryPoint);
    return args;
}

void BoundTest::SetUp()
{
    ASSERT_GE(LustreAPI::LoadFunctions().GetCode(), 0);
    sim = FindSimControl();
    ASSERT_TRUE(sim.Found()) << "stand-in control interface not found";
    // The stand-in keeps a thread's state store open from its first call
    // on: open it now, so that descriptor counts see only the calls tested.
    lu_fid root;
    std::string message;
    ASSERT_EQ(LustreAPI::Path2FID(state.mount, root, message), 0) << message;
    sim.reset();
}

}  // namespace apitest
