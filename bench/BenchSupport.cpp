#include "BenchSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "KxUtils.h"
#include "LustreAPI.h"

namespace bench {
namespace {

class SilentWriter : public LogWriter {
public:
    int GetLevel() override { return -1; }
    void Log(int, const char*, int, int, int, const char*, ...) override {}
};

std::string g_mount;
std::vector<std::string> g_scratchDirs;

void RemoveScratchDirs()
{
    std::error_code ignored;
    for (const auto& dir : g_scratchDirs) std::filesystem::remove_all(dir, ignored);
}

}  // namespace

void SilenceLog()
{
    static SilentWriter writer;
    g_ptrLogWriter = &writer;
}

std::string ScratchDir(const std::string& name)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/lustreapi-bench-" + name + ".XXXXXX";
    if (!mkdtemp(pattern.data())) return std::string();
    if (g_scratchDirs.empty()) std::atexit(RemoveScratchDirs);
    g_scratchDirs.push_back(pattern);
    return pattern;
}

const std::string& MountPoint() { return g_mount; }

bool PrepareLustre()
{
    static const bool ready = [] {
        const std::string state = ScratchDir("state");
        if (state.empty()) return false;
        const std::string mount = state + "/mnt";
        const std::string archive = state + "/archive";
        mkdir(mount.c_str(), 0755);
        mkdir(archive.c_str(), 0755);
        std::ofstream(state + "/config") << "version 2.15\n"
                                         << "fs lustre mdts=1\n"
                                         << "mount lustre " << mount << " ffff8803f0d41000\n"
                                         << "archive lustre 1 " << archive << "\n";
        std::ofstream(mount + "/file") << "data";
        setenv("LUSTRE_SIM_STATE", state.c_str(), 1);
        if (LustreAPI::LoadFunctions().Failed()) return false;
        g_mount = mount;
        return true;
    }();
    return ready;
}

size_t HoldMemory(size_t mebibytes)
{
    static std::vector<std::unique_ptr<char[]>> blocks;
    static size_t held = 0;
    const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    while (held < mebibytes) {
        auto block = std::make_unique<char[]>(1 << 20);
        for (size_t i = 0; i < (1u << 20); i += pageSize) block[i] = 1;  // touch every page
        blocks.push_back(std::move(block));
        ++held;
    }
    return held;
}

}  // namespace bench
