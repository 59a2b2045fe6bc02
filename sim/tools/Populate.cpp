#include "Populate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ChangelogFeed.h"
#include "FidStore.h"
#include "FidText.h"
#include "UniqueFd.h"

namespace sim {
namespace {

constexpr int kCreat = 1;  // changelog record types
constexpr int kMkdir = 2;
constexpr unsigned long long kFilesPerDir = 1000;
constexpr unsigned long long kFilesPerBatch = 5000;

class Populator {
public:
    Populator(lib::Context& ctx, const Mount& mount, std::string mountDir)
        : m_ctx(ctx), m_mount(mount), m_mountDir(std::move(mountDir)), m_now(SimNow(ctx.stateDir)), m_fids(ctx.db)
    {
    }

    bool Run(unsigned long long count, std::string& error);

private:
    // Makes rel (a directory when dir, else a file of size bytes) and logs it
    // in the batch; its FID goes to fid.
    bool Make(const std::string& rel, bool dir, long long size, const lu_fid& parent, lu_fid& fid, std::string& error);

    lib::Context& m_ctx;
    const Mount& m_mount;
    std::string m_mountDir;
    int64_t m_now;
    lib::FidStore m_fids;
};

bool Populator::Make(const std::string& rel, bool dir, long long size, const lu_fid& parent, lu_fid& fid,
                     std::string& error)
{
    const std::string path = m_mountDir + "/" + rel;
    if (dir) {
        if (mkdir(path.c_str(), 0755) != 0) {
            error = "cannot make " + path + ": " + strerror(errno);
            return false;
        }
    } else {
        common::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!fd.Valid() || ftruncate(fd.Get(), size) != 0) {
            error = "cannot make " + path + ": " + strerror(errno);
            return false;
        }
    }
    lib::ObjectId id;
    if (lib::StatPath(path, id) != 0) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    const lib::Located loc{&m_mount, m_mountDir, rel};
    fid = m_fids.FidOf(m_ctx, loc, id);
    ChangelogRecord r;
    r.type = dir ? kMkdir : kCreat;
    r.sec = m_now;
    r.tfid = fid;
    r.pfid = parent;
    r.name = rel.substr(rel.find_last_of('/') + 1);
    r.uid = getuid();
    r.gid = getgid();
    // Namespace records go to the parent's MDT.
    const int mdt = lib::MdtOfFid(parent, lib::MdtCount(m_ctx.config, m_mount.fs));
    ChangelogStore store(*m_ctx.db, MdtName(m_mount.fs, mdt < 0 ? 0 : mdt));
    if (!AppendChangelogRecord(store, r)) {
        error = "cannot store the changelog: " + m_ctx.db->Failure();
        return false;
    }
    return true;
}

bool Populator::Run(unsigned long long count, std::string& error)
{
    std::string top;
    for (unsigned n = 1;; ++n) {
        top = "populated." + std::to_string(n);
        struct stat st;
        if (lstat((m_mountDir + "/" + top).c_str(), &st) != 0) break;
    }
    const lu_fid root{lib::kSeqRoot, 1, 0};
    lu_fid topFid{}, dirFid{};
    for (unsigned long long i = 0; i < count;) {
        // One transaction per batch: a batch is stored whole or not at all.
        Transaction tx(*m_ctx.db);
        if (!tx.Begun()) {
            error = "cannot write the state store: " + tx.Error();
            return false;
        }
        if (i == 0 && !Make(top, true, 0, root, topFid, error)) return false;
        for (unsigned long long end = std::min(count, i + kFilesPerBatch); i < end; ++i) {
            const std::string dir = top + "/d" + std::to_string(i / kFilesPerDir);
            if (i % kFilesPerDir == 0 && !Make(dir, true, 0, topFid, dirFid, error)) return false;
            // Sizes from 0 to 1 MiB, sparse: quick to make, varied to sort by.
            const long long size = static_cast<long long>((i * 7919) % 1025) * 1024;
            lu_fid fid;
            if (!Make(dir + "/f" + std::to_string(i), false, size, dirFid, fid, error)) return false;
        }
        if (!tx.Commit()) {
            error = "cannot write the state store: " + tx.Error();
            return false;
        }
    }
    return true;
}

}  // namespace

bool Populate(const std::string& stateDir, const Config& config, const std::string& fs, unsigned long long count,
              std::string& error)
{
    const Mount* mount = nullptr;
    for (const auto& m : config.mounts)
        if (m.fs == fs && !mount) mount = &m;
    if (!mount) {
        error = "file system " + fs + " is not mounted";
        return false;
    }
    // The library's state is found through the environment.
    setenv("LUSTRE_SIM_STATE", stateDir.c_str(), 1);
    lib::Context ctx;
    if (!lib::LoadContext(ctx)) {
        error = "cannot read the state directory";
        return false;
    }
    const lib::Located loc = lib::Locate(ctx.config, mount->dir);
    if (loc.mount == nullptr || !loc.rel.empty()) {
        error = "cannot find the mount " + mount->dir;
        return false;
    }
    Populator p(ctx, *loc.mount, loc.mountDir);
    return p.Run(count, error);
}

}  // namespace sim
