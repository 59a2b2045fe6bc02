// The configuration of a Lustre stand-in state directory, shared by the
// stand-in library and the stand-in tools.
//
// The state directory is named by the environment variable LUSTRE_SIM_STATE.
// Its file "config" holds one item per line ('#' starts a comment):
//
//   version 2.15                      Lustre version the tools imitate
//   fs lustre mdts=2                  a file system and its number of MDTs
//   mount lustre /mnt/lustre ffff8803f0d41000
//                                     a mount point of a file system and the
//                                     16-hex-digit client instance of its mdc
//                                     devices; a file system may be mounted
//                                     more than once
//   archive lustre 1 /srv/archive1    the directory behind an HSM archive id
//   mds lustre 0 mds1 192.168.0.1@tcp MDT 0 of lustre is served by host mds1,
//                                     reached at that NID
//   login root mds1                   root may log in to mds1 without a password
//
// Everything else under the state directory belongs to the component that
// writes it: "lib/" to the stand-in library, "changelog/" to the tools.
#pragma once
#include <string>
#include <vector>

#include "UniqueFd.h"

namespace sim {

struct FileSystem {
    std::string name;
    int mdts = 1;
};

struct Mount {
    std::string fs;
    std::string dir;       // absolute, without a trailing '/'
    std::string instance;  // 16 lower-case hex digits
};

struct Archive {
    std::string fs;
    int id = 0;
    std::string dir;
};

struct MdsServer {
    std::string fs;
    int index = 0;
    std::string host;
    std::string nid;
};

struct Login {
    std::string user;
    std::string host;
};

struct Config {
    std::string version = "2.15";
    std::vector<FileSystem> fileSystems;
    std::vector<Mount> mounts;
    std::vector<Archive> archives;
    std::vector<MdsServer> servers;
    std::vector<Login> logins;

    const FileSystem* FindFs(const std::string& name) const;
    const MdsServer* FindServer(const std::string& fs, int index) const;
    bool HostKnown(const std::string& host) const;
    bool LoginAllowed(const std::string& user, const std::string& host) const;
};

// LUSTRE_SIM_STATE, or empty when it is not set.
std::string StateDir();

// "lustre-MDT0000": the MDT's device name.
std::string MdtName(const std::string& fs, int index);

// Reads <stateDir>/config. A missing directory or file, or a malformed line,
// is an error naming the file and line.
[[nodiscard]] bool LoadConfig(const std::string& stateDir, Config& config, std::string& error);
// Writes <stateDir>/config atomically (a new file renamed over the old one).
[[nodiscard]] bool SaveConfig(const std::string& stateDir, const Config& config, std::string& error);

// The whole content of file, read through a close-on-exec descriptor (the
// stand-in library runs inside hosts that start processes). False with errno
// set when it cannot be read.
[[nodiscard]] bool ReadFileText(const std::string& file, std::string& text);
// Replaces file with content as a whole: written to a temporary file beside
// it, then renamed over it, so a reader sees the old or the new content only.
[[nodiscard]] bool WriteFileAtomically(const std::string& file, const std::string& content, std::string& error);

// An exclusive lock on the state directory (flock on <stateDir>/lock), held
// for the object's life. Several processes may share one state directory;
// whoever did not get the lock must not touch the state.
class StateLock {
public:
    explicit StateLock(const std::string& stateDir);
    bool Locked() const { return m_fd.Valid(); }
    // Why the lock was not taken: "cannot lock <file>: <reason>".
    const std::string& Error() const { return m_error; }

private:
    common::UniqueFd m_fd;  // closing it releases the flock
    std::string m_error;
};

}  // namespace sim
