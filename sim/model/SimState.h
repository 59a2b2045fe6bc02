// The stand-in library's view of the state directory: the configuration,
// which mount holds a path, and the state store.
#pragma once
#include <sys/stat.h>

#include <string>
#include <vector>

#include "SimConfig.h"
#include "StateDb.h"

namespace sim::lib {

struct Context {
    std::string stateDir;
    std::string libDir;  // <state>/lib, created on load
    Config config;
    // The calling thread's connection to the state store, opened on the
    // thread's first load (and again when the state directory or, after a
    // fork, the process changes). Valid while the thread runs.
    StateDb* db = nullptr;
};

// Reads LUSTRE_SIM_STATE and its config, creates <state>/lib and opens the
// state store. On failure writes the reason to stderr (once per process) and
// returns false: the caller then behaves as on a node without Lustre mounts.
[[nodiscard]] bool LoadContext(Context& ctx);

// A path resolved the way the llapi calls see it: every directory resolved,
// the last component kept as named (it is not followed).
struct Located {
    const Mount* mount = nullptr;
    std::string mountDir;  // resolved
    std::string rel;       // relative to mountDir, "" for the mount point
};

// Resolves path (relative to the working directory when not absolute) and
// finds the mount holding it (longest match). mount is null outside every
// mount. Nothing needs to exist.
Located Locate(const Config& config, const std::string& path);

// The mount whose directory equals dir, or the first mount of a file system
// named dir or of the MDT device "<fs>-MDTxxxx". Null when nothing matches.
const Mount* FindDevice(const Config& config, const std::string& device);

// Number of MDTs of a file system (1 when it has no "fs" line).
int MdtCount(const Config& config, const std::string& fs);

// Whether "lustre-sim hang" keeps the server of mdt (a name
// "<fs>-MDTxxxx"), or of any MDT of fs when mdt is a file system's name, or
// this node, from answering.
bool ServerHung(const Context& ctx, const std::string& mdt);
// While ServerHung, waits as a call that the metadata server must answer
// waits on one that never does; returns once "lustre-sim unhang" releases it.
void WaitForServer(const Context& ctx, const std::string& mdt);

// Modification time in nanoseconds.
long long MtimeNs(const struct stat& st);

}  // namespace sim::lib
