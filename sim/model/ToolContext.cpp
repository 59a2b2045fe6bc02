#include "ToolContext.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <unistd.h>

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
    const std::vector<std::string> unloaded = ListedNodes(stateDir, "unloaded");
    return std::find(unloaded.begin(), unloaded.end(), NodeName()) == unloaded.end();
}

bool ToolContext::Hung(const std::vector<std::string>& mdts) const
{
    std::vector<std::string> needed{NodeName()};
    for (const auto& fs : config.fileSystems)
        for (int i = 0; i < fs.mdts; ++i)
            if (const MdsServer* server = config.FindServer(fs.name, i);
                server && std::find(mdts.begin(), mdts.end(), MdtName(fs.name, i)) != mdts.end())
                needed.push_back(server->host);
    const std::vector<std::string> hung = ListedNodes(stateDir, "hung");
    return std::any_of(needed.begin(), needed.end(),
                       [&](const std::string& node) { return std::find(hung.begin(), hung.end(), node) != hung.end(); });
}

void ToolContext::WaitWhileHung(const std::vector<std::string>& mdts) const
{
    while (Hung(mdts)) sleep(1);
}

std::vector<std::string> ListedNodes(const std::string& stateDir, const char* list)
{
    std::vector<std::string> nodes;
    std::ifstream in(stateDir + "/" + list);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) nodes.push_back(line);
    return nodes;
}

bool SetNodeListed(const std::string& stateDir, const char* list, const std::string& node, bool listed,
                   std::string& error)
{
    std::vector<std::string> nodes = ListedNodes(stateDir, list);
    nodes.erase(std::remove(nodes.begin(), nodes.end(), node), nodes.end());
    if (listed) nodes.push_back(node);
    std::string content;
    for (const auto& n : nodes) content += n + "\n";
    return WriteFileAtomically(stateDir + "/" + list, content, error);
}

}  // namespace sim
