#include "DemoPolicy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "LustreAPI.h"

namespace demo {
namespace {

constexpr size_t kFiles = 300;

std::string FidName(const lu_fid& fid) { return Format("0x%llx:0x%x:0x%x", fid.f_seq, fid.f_oid, fid.f_ver); }

// Copies between a file's descriptor and its archive copy; archive copies
// are whole files named by FID.
bool CopyData(int from, int to)
{
    char buffer[65536];
    for (off_t offset = 0;;) {
        const ssize_t n = ::pread(from, buffer, sizeof buffer, offset);
        if (n < 0) return false;
        if (n == 0) return true;
        if (::pwrite(to, buffer, static_cast<size_t>(n), offset) != n) return false;
        offset += n;
    }
}

// A copytool loop: serves archive and restore actions until `count` have
// ended, showing one progress line.
bool Serve(Report& report, hsm_copytool_private* ct, const std::string& archiveDir, size_t count, const char* what)
{
    std::string msg;
    size_t done = 0;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60); done < count;) {
        if (std::chrono::steady_clock::now() > deadline) return report.Fail(what, "the copytool timed out");
        hsm_action_list* hal = nullptr;
        int size = 0;
        const int rc = LustreAPI::HSMRecv(ct, &hal, &size, msg);
        if (rc == -EAGAIN) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        if (rc < 0) return report.Fail("HSMRecv", ErrnoText(rc));
        hsm_action_item* item = hai_first(hal);
        for (unsigned i = 0; i < hal->hal_count; ++i, item = hai_next(item)) {
            hsm_action_item hai;
            std::memcpy(&hai, item, sizeof hai);
            hsm_copyaction_private* hcp = nullptr;
            if (LustreAPI::HSMActionBegin(&hcp, ct, item, -1, 0, false, msg) < 0) return report.Fail(what, "begin");
            const std::string copy = archiveDir + "/" + FidName(hai.hai_fid);
            const bool archive = hai.hai_action == HSMA_ARCHIVE;
            const int data = LustreAPI::HSMActionGetFD(hcp, msg);
            const int other = ::open(copy.c_str(), archive ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY, 0600);
            const bool copied = data >= 0 && other >= 0 && (archive ? CopyData(data, other) : CopyData(other, data));
            if (data >= 0) ::close(data);
            if (other >= 0) ::close(other);
            const hsm_extent whole{0, ~0ULL};
            if (LustreAPI::HSMActionEnd(&hcp, &whole, 0, copied ? 0 : EIO, msg) < 0 || !copied)
                return report.Fail(what, "copy of " + FidName(hai.hai_fid) + " failed");
            ++done;
        }
        Progress(Format("    copytool: %s %zu of %zu files", what, done, count));
    }
    EndProgress();
    return true;
}

// "300 files (0x00000009) exists archived, archive_id:1": how many files
// are in each HSM state.
bool ReportStates(Report& report, const std::vector<std::string>& files, const char* when)
{
    const std::string asked = Format("HSMStateGet on each of the %zu files, %s", files.size(), when);
    report.Ask(asked);
    std::map<std::pair<unsigned, unsigned>, size_t> counts;
    std::string msg;
    for (const std::string& file : files) {
        hsm_user_state hus{};
        const int rc = LustreAPI::HSMStateGet(file.c_str(), &hus, msg);
        if (rc < 0) return report.Fail(asked, ErrnoText(rc) + (msg.empty() ? "" : ": " + msg));
        ++counts[{hus.hus_states, hus.hus_archive_id}];
    }
    static const std::pair<unsigned, const char*> kWords[] = {
        {HS_RELEASED, "released"}, {HS_EXISTS, "exists"},           {HS_DIRTY, "dirty"},
        {HS_ARCHIVED, "archived"}, {HS_NORELEASE, "never_release"}, {HS_NOARCHIVE, "never_archive"},
        {HS_LOST, "lost_from_hsm"}};
    std::string text;
    for (const auto& [state, count] : counts) {
        text += Format("%s%zu file(s) (0x%08x)", text.empty() ? "" : "; ", count, state.first);
        for (const auto& [bit, word] : kWords)
            if (state.first & bit) text += std::string(" ") + word;
        if (state.second) text += Format(", archive_id:%u", state.second);
    }
    report.Ok(asked, text);
    return true;
}

bool Request(Report& report, const std::vector<std::string>& files, int action, const char* name)
{
    const std::string asked = Format("HSMRequestFiles(%zu files, %s, archive 1)", files.size(), name);
    report.Ask(asked);
    std::vector<int> results;
    const CKxError error = LustreAPI::HSMRequestFiles(files, action, 1, "lustreapi-demo", results);
    if (error.Failed()) return report.Fail(asked, ErrorText(error));
    report.Ok(asked, Format("%zu results, all 0", results.size()));
    return true;
}

}  // namespace

bool RunPolicyEngine(Report& report, const std::string& mount, const std::string& archiveDir)
{
    report.Job("Policy engine: hundreds of files in one call, and their HSM states");
    report.Ask("GetBoundEntryPoints()");
    const std::vector<std::string> bound = LustreAPI::GetBoundEntryPoints();
    std::string names;
    for (const std::string& name : bound) names += (names.empty() ? "" : " ") + name;
    report.Ok("GetBoundEntryPoints()", Format("%zu bound: ", bound.size()) + DescribeBinding());
    report.Detail(names);

    const std::string dir = mount + "/lustreapi-demo-policy";
    ::mkdir(dir.c_str(), 0755);
    std::vector<std::string> files;
    std::vector<std::string> contents;
    for (size_t i = 0; i < kFiles; ++i) {
        files.push_back(Format("%s/result-%03zu.dat", dir.c_str(), i));
        contents.push_back(Format("result %zu: %s\n", i, std::string(i % 97, '*').c_str()));
        std::ofstream(files.back(), std::ios::trunc) << contents.back();
    }

    std::string msg;
    hsm_copytool_private* ct = nullptr;
    int archives[] = {1};
    if (LustreAPI::HSMRegister(&ct, mount.c_str(), 1, archives, O_NONBLOCK, msg) < 0)
        return report.Fail("HSMRegister", msg);
    bool ok = ReportStates(report, files, "before archiving") && Request(report, files, HUA_ARCHIVE, "archive");
    if (ok) {
        hsm_current_action hca{};
        const std::string asked = "HSMCurrentAction(" + Quoted(files[0]) + ")";
        report.Ask(asked);
        const int rc = LustreAPI::HSMCurrentAction(files[0].c_str(), &hca, msg);
        ok = rc == 0 ? (report.Ok(asked, Format("action %u, state %u (HUA_ARCHIVE, HPS_WAITING)", hca.hca_action,
                                                hca.hca_state)),
                        true)
                     : report.Fail(asked, ErrnoText(rc));
    }
    ok = ok && Serve(report, ct, archiveDir, kFiles, "archived") && ReportStates(report, files, "after archiving") &&
         Request(report, files, HUA_RELEASE, "release") && ReportStates(report, files, "after release") &&
         Request(report, files, HUA_RESTORE, "restore") && Serve(report, ct, archiveDir, kFiles, "restored") &&
         ReportStates(report, files, "after restore");
    LustreAPI::HSMUnregister(&ct, msg);
    if (!ok) return false;
    for (size_t i = 0; i < kFiles; ++i) {
        std::ifstream in(files[i]);
        std::stringstream bytes;
        bytes << in.rdbuf();
        if (bytes.str() != contents[i]) return report.Fail("compare restored files", files[i] + " differs");
    }
    report.Ok("compare the restored files with what was written", Format("%zu files, byte for byte equal", kFiles));
    return true;
}

}  // namespace demo
