#include "ApiTestSupport.h"

#include <dirent.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

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

CapturingLogWriter::CapturingLogWriter(int level) : m_level(level), m_previous(g_ptrLogWriter)
{
    g_ptrLogWriter = this;
}

CapturingLogWriter::~CapturingLogWriter() { g_ptrLogWriter = m_previous; }

int CapturingLogWriter::GetLevel()
{
    ++levelQueries;
    return m_level;
}

void CapturingLogWriter::Log(int level, const char* function, int, int, int, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    lines.push_back({level, function ? function : "", text});
}

std::vector<LogLine> CapturingLogWriter::Matching(const std::string& text) const
{
    std::vector<LogLine> found;
    for (const LogLine& line : lines)
        if (line.text == text) found.push_back(line);
    return found;
}

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

SimState::SimState()
{
    std::string pattern = (fs::temp_directory_path() / "lustreapi-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    mount = dir + "/mnt";
    archive = dir + "/archive";
    fs::create_directories(mount);
    fs::create_directories(archive);
    std::ofstream config(dir + "/config");
    config << "fs lustre mdts=1\n"
           << "mount lustre " << mount << " ffff8803f0d41000\n"
           << "archive lustre 1 " << archive << "\n";
    config.close();
    if (!config) throw std::runtime_error("cannot write the stand-in config");
    setenv("LUSTRE_SIM_STATE", dir.c_str(), 1);
}

SimState::~SimState()
{
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    unsetenv("LUSTRE_SIM_STATE");
}

std::string SimState::WriteFile(const std::string& relative, const std::string& contents) const
{
    const fs::path path = fs::path(mount) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << contents;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
    return path.string();
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

int OpenFdCount()
{
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    if (!fds) return -1;
    while (const dirent* entry = readdir(fds))
        if (entry->d_name[0] != '.') ++count;
    closedir(fds);
    return count - 1;  // the directory stream's own descriptor
}

}  // namespace apitest
