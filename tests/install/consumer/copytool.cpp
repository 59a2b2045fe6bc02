// idiom-copytool MOUNT NAME: a copytool written as Lustre's own are, with
// Lustre's names and helpers (hai_first, hai_next, hai_fid, hai_extent,
// HSMA_*, DFID) over the LustreAPI operations. It archives MOUNT/NAME into
// memory, releases it, restores it and checks the data came back. Built with
// <lustre/lustreapi.h> included before LustreAPI.h (LUSTRE_HEADER_FIRST) and
// after it. Exits 0 only when every step succeeds.
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
#include <sstream>
#include <string>

static std::string g_archive;  // the archive: one file's data

static int Fail(const char* step, int rc, const std::string& msg = "") {
    std::printf("idiom-copytool: %s failed: %d %s\n", step, rc, msg.c_str());
    return 1;
}

// Copies between the action's descriptor and the archive, as the action asks.
static int Copy(hsm_copyaction_private* hcp, const hsm_action_item* hai) {
    std::string msg;
    const int fd = LustreAPI::HSMActionGetFD(hcp, msg);
    if (fd < 0) return fd;
    ssize_t n = 0;
    if (hai->hai_action == HSMA_ARCHIVE) {
        char buffer[4096];
        g_archive.clear();
        while ((n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(hai->hai_extent.offset + g_archive.size()))) >
               0)
            g_archive.append(buffer, static_cast<size_t>(n));
    } else {
        n = write(fd, g_archive.data(), g_archive.size());
    }
    const int rc = n < 0 ? -errno : 0;
    close(fd);
    const hsm_extent done = {hai->hai_extent.offset, g_archive.size()};
    return rc < 0 ? rc : LustreAPI::HSMActionProgress(hcp, &done, g_archive.size(), 0, msg);
}

// Receives one action list and carries out every item of it.
static int ServeOne(hsm_copytool_private* ct, int wanted) {
    hsm_action_list* hal = nullptr;
    int size = 0;
    std::string msg;
    int rc = -EAGAIN;
    for (int tries = 0; rc == -EAGAIN && tries < 200; ++tries) {
        rc = LustreAPI::HSMRecv(ct, &hal, &size, msg);
        if (rc == -EAGAIN) usleep(50 * 1000);
    }
    if (rc < 0) return rc;
    if (hal->hal_version != HAL_VERSION || hal->hal_count != 1) return -EPROTO;

    hsm_action_item* hai = hai_first(hal);
    for (unsigned i = 0; i < hal->hal_count; ++i, hai = hai_next(hai)) {
        if (static_cast<int>(hai->hai_action) != wanted) return -EPROTO;
        std::printf("idiom-copytool: %s " DFID "\n", hai->hai_action == HSMA_ARCHIVE ? "archive" : "restore",
                    PFID(&hai->hai_fid));
        hsm_copyaction_private* hcp = nullptr;
        rc = LustreAPI::HSMActionBegin(&hcp, ct, hai, -1, 0, false, msg);
        if (rc < 0) return rc;
        const int copied = Copy(hcp, hai);
        const hsm_extent extent = {hai->hai_extent.offset, g_archive.size()};
        rc = LustreAPI::HSMActionEnd(&hcp, &extent, 0, copied < 0 ? -copied : 0, msg);
        if (copied < 0) return copied;
        if (rc < 0) return rc;
    }
    return 0;
}

static std::string Contents(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

int main(int argc, char** argv) {
    if (argc != 3) return Fail("usage: idiom-copytool MOUNT NAME", -EINVAL);
    const std::string path = std::string(argv[1]) + "/" + argv[2];
    const std::string data = "data of " + path + "\n";
    std::ofstream(path) << data;

    std::string msg;
    if (LustreAPI::LoadFunctions().Failed()) return Fail("LoadFunctions", -EINVAL);
    hsm_copytool_private* ct = nullptr;
    int archives[] = {1};
    int rc = LustreAPI::HSMRegister(&ct, argv[1], 1, archives, O_NONBLOCK, msg);
    if (rc < 0) return Fail("HSMRegister", rc, msg);

    const struct {
        const char* step;
        int action;  // hsm_user_action
        int served;  // hsm_copytool_action, 0: done by the client at once
    } steps[] = {
        {"archive", HUA_ARCHIVE, HSMA_ARCHIVE},
        {"release", HUA_RELEASE, 0},
        {"restore", HUA_RESTORE, HSMA_RESTORE},
    };
    for (const auto& step : steps) {
        rc = LustreAPI::HSMRequest(path.c_str(), step.action, nullptr, msg);
        if (rc == 0 && step.served) rc = ServeOne(ct, step.served);
        if (rc < 0) return Fail(step.step, rc, msg);
    }
    if (g_archive != data || Contents(path) != data) return Fail("compare", -EIO, Contents(path));
    rc = LustreAPI::HSMUnregister(&ct, msg);
    if (rc < 0) return Fail("HSMUnregister", rc, msg);
    std::printf("idiom-copytool: ok\n");
    return 0;
}
