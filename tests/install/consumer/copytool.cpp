// tiny-host MOUNT NAME FSNAME: a host written as Lustre's own copytools are
// (hai_first, hai_next, hai_fid, hai_extent, HSMA_*, DFID) over the LustreAPI
// operations. It takes the FID of MOUNT/NAME to text and back to its path,
// lists FSNAME's MDTs, archives the file into memory, releases and restores
// it, and checks the data came back. Built with <lustre/lustreapi.h> before
// LustreAPI.h (LUSTRE_HEADER_FIRST) and after it. Exits 0 only when every
// step succeeds.
#ifdef LUSTRE_HEADER_FIRST
#include <lustre/lustreapi.h>

#include "LustreAPI.h"
#else
#include "LustreAPI.h"

#include <lustre/lustreapi.h>
#endif

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

static std::string g_archive;  // the archive: one file's data

// Receives one action list and carries out each item: archive reads the
// action's descriptor into g_archive, restore writes g_archive into it.
static int ServeOne(hsm_copytool_private* ct, unsigned wanted)
{
    hsm_action_list* hal = nullptr;
    int size = 0;
    std::string msg;
    int rc = -EAGAIN;
    for (int tries = 0; rc == -EAGAIN && tries < 200; ++tries)
        if ((rc = LustreAPI::HSMRecv(ct, &hal, &size, msg)) == -EAGAIN) usleep(50 * 1000);
    if (rc < 0) return rc;
    if (hal->hal_version != HAL_VERSION || hal->hal_count != 1) return -EPROTO;

    hsm_action_item* hai = hai_first(hal);
    for (unsigned i = 0; i < hal->hal_count; ++i, hai = hai_next(hai)) {
        if (hai->hai_action != wanted) return -EPROTO;
        std::printf("tiny-host: %s " DFID "\n", wanted == HSMA_ARCHIVE ? "archive" : "restore", PFID(&hai->hai_fid));
        hsm_copyaction_private* hcp = nullptr;
        if ((rc = LustreAPI::HSMActionBegin(&hcp, ct, hai, -1, 0, false, msg)) < 0) return rc;
        const int fd = LustreAPI::HSMActionGetFD(hcp, msg);
        char buffer[4096];
        ssize_t n = fd < 0 ? fd : 0;
        if (wanted == HSMA_ARCHIVE)
            while (n >= 0 && (n = pread(fd, buffer, sizeof buffer, hai->hai_extent.offset + g_archive.size())) > 0)
                g_archive.append(buffer, n);
        else if (fd >= 0)
            n = write(fd, g_archive.data(), g_archive.size());
        const int errval = n < 0 ? (fd < 0 ? -fd : errno) : 0;
        if (fd >= 0) close(fd);
        const hsm_extent extent = {hai->hai_extent.offset, g_archive.size()};
        if ((rc = LustreAPI::HSMActionEnd(&hcp, &extent, 0, errval, msg)) < 0 || errval) return errval ? -errval : rc;
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc != 4) return 2;
    const std::string path = std::string(argv[1]) + "/" + argv[2];
    const std::string data = "data of " + path + "\n";
    std::ofstream(path) << data;

    std::string msg, back;
    LustreAPI::CLustreFID fid;
    std::vector<std::string> mdts, servers;
    int linkNo = 0;
    long long recNo = -1;
    char text[64] = "";
    hsm_copytool_private* ct = nullptr;
    int archives[] = {1};
    int rc = LustreAPI::LoadFunctions().Failed() || LustreAPI::GetFIDFromPath(path, fid).Failed() ? -EINVAL : 0;
    std::snprintf(text, sizeof text, "[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
    LustreAPI::CLustreFID parsed{std::string(text)};
    if (rc == 0 && (LustreAPI::GetPathFromFID(argv[1], parsed, back, linkNo, recNo).Failed() || back != path))
        rc = -ENOENT;
    if (rc == 0 && (LustreAPI::GetMDTList(argv[3], mdts, servers).Failed() || mdts.empty())) rc = -ENODEV;
    if (rc == 0) rc = LustreAPI::HSMRegister(&ct, argv[1], 1, archives, O_NONBLOCK, msg);
    if (rc == 0) rc = LustreAPI::HSMArchive(path.c_str(), nullptr, msg);
    if (rc == 0) rc = ServeOne(ct, HSMA_ARCHIVE);
    if (rc == 0) rc = LustreAPI::HSMRequest(path.c_str(), HUA_RELEASE, nullptr, msg);
    if (rc == 0) rc = LustreAPI::HSMRequest(path.c_str(), HUA_RESTORE, nullptr, msg);
    if (rc == 0) rc = ServeOne(ct, HSMA_RESTORE);
    if (rc == 0) rc = LustreAPI::HSMUnregister(&ct, msg);
    std::ifstream restored(path);
    const std::string now{std::istreambuf_iterator<char>(restored), std::istreambuf_iterator<char>()};
    if (rc == 0 && (g_archive != data || now != data)) rc = -EIO;
    std::printf("tiny-host: %s %d %s %s %s\n", rc == 0 ? "ok" : "failed", rc, text, mdts.empty() ? "" : mdts[0].c_str(),
                msg.c_str());
    return rc == 0 ? 0 : 1;
}
