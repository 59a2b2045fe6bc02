// What every stand-in tool starts from: the state directory, its config and
// the imitated Lustre version, and which MDTs live on the node it runs on.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "LustreVersion.h"
#include "SimConfig.h"
#include "StateDb.h"

namespace sim {

struct ToolContext {
    std::string stateDir;
    Config config;
    LustreVersion version;
    std::string host;  // LUSTRE_SIM_HOST; empty on the local node
    const char* tool = "";

    // Loads the config and its version. On failure prints
    // "<tool> (stand-in): <reason>" to stderr and returns false.
    [[nodiscard]] bool Load(const char* tool);

    // The state store, opened on first use. Null when it cannot be opened,
    // after "<tool> (stand-in): <reason>" on stderr.
    StateDb* Db() const;

    // The MDTs whose mdd device exists on this node: those served by host when
    // LUSTRE_SIM_HOST is set, every configured MDT otherwise (a single-node
    // set-up). Names like "lustre-MDT0000", in config order.
    std::vector<std::string> LocalMdts() const;
    bool IsLocalMdt(const std::string& mdt) const;

    // The MDT of a mounted file system ("lfs changelog" needs a client
    // mount). False when no mounted file system has that MDT.
    bool IsMountedMdt(const std::string& mdt) const;

    // This node's name among the nodes: host, or "localhost".
    std::string NodeName() const { return host.empty() ? "localhost" : host; }
    // False while "lustre-sim unload-modules" has this node without Lustre's
    // kernel modules (a server being restarted): no devices, parameters or
    // changelogs.
    bool ModulesLoaded() const;
    // Whether "lustre-sim hang" keeps a node this tool needs hung: this node,
    // or the server of one of mdts.
    bool Hung(const std::vector<std::string>& mdts = {}) const;
    // While Hung(mdts), waits as a tool waits on a server that never
    // answers; returns once "lustre-sim unhang" releases them.
    void WaitWhileHung(const std::vector<std::string>& mdts = {}) const;

private:
    mutable std::unique_ptr<StateDb> m_db;
};

// A list of nodes in <stateDir>/<list>, one name a line: "unloaded", the
// nodes without Lustre's modules; "hung", those whose servers do not answer.
// A missing file names none.
std::vector<std::string> ListedNodes(const std::string& stateDir, const char* list);
// Adds node to the list, or removes it from it; the caller holds the state
// directory's lock.
[[nodiscard]] bool SetNodeListed(const std::string& stateDir, const char* list, const std::string& node, bool listed,
                                 std::string& error);

}  // namespace sim
