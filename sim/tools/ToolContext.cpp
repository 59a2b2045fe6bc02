#include "ToolContext.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace sim {

bool ToolContext::Load(const char* name)
{
    tool = name;
    stateDir = StateDir();
    std::string error;
    if (!LoadConfig(stateDir, config, error)) {
        fprintf(stderr, "%s (stand-in): %s\n", tool, error.c_str());
        return false;
    }
    if (!LustreVersion::Parse(config.version, version)) {
        fprintf(stderr, "%s (stand-in): unsupported Lustre version '%s' in %s/config\n", tool, config.version.c_str(),
                stateDir.c_str());
        return false;
    }
    const char* h = getenv("LUSTRE_SIM_HOST");
    host = h ? h : "";
    return true;
}

StateDb* ToolContext::Db() const
{
    if (m_db) return m_db.get();
    std::string error;
    m_db = StateDb::Open(stateDir, error);
    if (!m_db) fprintf(stderr, "%s (stand-in): %s\n", tool, error.c_str());
    return m_db.get();
}

std::vector<std::string> ToolContext::LocalMdts() const
{
    std::vector<std::string> mdts;
    for (const auto& fs : config.fileSystems) {
        for (int i = 0; i < fs.mdts; ++i) {
            if (!host.empty()) {
                const MdsServer* server = config.FindServer(fs.name, i);
                if (!server || server->host != host) continue;
            }
            mdts.push_back(MdtName(fs.name, i));
        }
    }
    return mdts;
}

bool ToolContext::IsLocalMdt(const std::string& mdt) const
{
    for (const auto& m : LocalMdts())
        if (m == mdt) return true;
    return false;
}

bool ToolContext::IsMountedMdt(const std::string& mdt) const
{
    for (const auto& mount : config.mounts) {
        const FileSystem* fs = config.FindFs(mount.fs);
        if (!fs) continue;
        for (int i = 0; i < fs->mdts; ++i)
            if (MdtName(fs->name, i) == mdt) return true;
    }
    return false;
}

bool ToolContext::ModulesLoaded() const
{
    const std::vector<std::string> unloaded = UnloadedNodes(stateDir);
    return std::find(unloaded.begin(), unloaded.end(), NodeName()) == unloaded.end();
}

std::vector<std::string> UnloadedNodes(const std::string& stateDir)
{
    std::vector<std::string> nodes;
    std::ifstream in(stateDir + "/unloaded");
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) nodes.push_back(line);
    return nodes;
}

bool SetModulesLoaded(const std::string& stateDir, const std::string& node, bool loaded, std::string& error)
{
    std::vector<std::string> nodes = UnloadedNodes(stateDir);
    nodes.erase(std::remove(nodes.begin(), nodes.end(), node), nodes.end());
    if (!loaded) nodes.push_back(node);
    std::string content;
    for (const auto& n : nodes) content += n + "\n";
    return WriteFileAtomically(stateDir + "/unloaded", content, error);
}

}  // namespace sim
