#include "SimFixture.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

extern char** environ;

namespace simtest {
namespace {

template <typename T>
void Bind(void* lib, const char* name, T& slot)
{
    slot = reinterpret_cast<T>(dlsym(lib, name));
    if (!slot) {
        fprintf(stderr, "stand-in library lacks %s\n", name);
        abort();
    }
}

Llapi Load()
{
    // Kept loaded for the life of the test process.
    void* lib = dlopen(LUSTRE_SIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "dlopen(%s): %s\n", LUSTRE_SIM_LIBRARY, dlerror());
        abort();
    }
    Llapi api{};
    Bind(lib, "llapi_hsm_copytool_register", api.copytool_register);
    Bind(lib, "llapi_hsm_copytool_unregister", api.copytool_unregister);
    Bind(lib, "llapi_hsm_copytool_recv", api.copytool_recv);
    Bind(lib, "llapi_hsm_action_begin", api.action_begin);
    Bind(lib, "llapi_hsm_action_end", api.action_end);
    Bind(lib, "llapi_hsm_action_progress", api.action_progress);
    Bind(lib, "llapi_hsm_action_get_fd", api.action_get_fd);
    Bind(lib, "llapi_hsm_action_get_dfid", api.action_get_dfid);
    Bind(lib, "llapi_hsm_user_request_alloc", api.user_request_alloc);
    Bind(lib, "llapi_hsm_request", api.request);
    Bind(lib, "llapi_search_fsname", api.search_fsname);
    Bind(lib, "llapi_fid2path", api.fid2path);
    Bind(lib, "llapi_path2fid", api.path2fid);
    Bind(lib, "llapi_get_mdt_index_by_fid", api.get_mdt_index_by_fid);
    Bind(lib, "llapi_fd2fid", api.fd2fid);
    Bind(lib, "lustre_sim_fail_next", api.fail_next);
    Bind(lib, "lustre_sim_fail_clear", api.fail_clear);
    Bind(lib, "lustre_sim_call_count", api.call_count);
    Bind(lib, "lustre_sim_last_args", api.last_args);
    Bind(lib, "lustre_sim_last_request", api.last_request);
    Bind(lib, "lustre_sim_reset", api.reset);
    return api;
}

}  // namespace

const Llapi& Api()
{
    static const Llapi api = Load();
    return api;
}

std::string FidText(const lu_fid& fid)
{
    char buf[64];
    snprintf(buf, sizeof buf, "[0x%llx:0x%x:0x%x]", fid.f_seq, fid.f_oid, fid.f_ver);
    return buf;
}

void SimTest::SetUp()
{
    char tmpl[] = "/tmp/lustresim-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    // Resolved, so that paths compare equal to what the library resolves.
    state = std::filesystem::canonical(tmpl).string();
    mnt = state + "/mnt/lustre";
    archive1 = state + "/archive1";
    archive2 = state + "/archive2";
    outside = state + "/outside";
    for (const auto& d : {mnt, archive1, archive2, outside}) std::filesystem::create_directories(d);
    std::ofstream(state + "/config") << "version 2.15\n"
                                     << "fs lustre mdts=2\n"
                                     << "mount lustre " << mnt << " ffff8803f0d41000\n"
                                     << "archive lustre 1 " << archive1 << "\n"
                                     << "archive lustre 2 " << archive2 << "\n";
    setenv("LUSTRE_SIM_STATE", state.c_str(), 1);
    api.reset();
}

void SimTest::TearDown()
{
    api.fail_clear();
    unsetenv("LUSTRE_SIM_STATE");
    std::error_code ec;
    std::filesystem::remove_all(state, ec);
}

std::string SimTest::MakeFile(const std::string& rel, const std::string& content)
{
    std::filesystem::path p = mnt + "/" + rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
}

std::string SimTest::MakeDir(const std::string& rel)
{
    std::filesystem::create_directories(mnt + "/" + rel);
    return mnt + "/" + rel;
}

std::string SimTest::ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

lu_fid SimTest::FidOf(const std::string& path)
{
    lu_fid fid{};
    EXPECT_EQ(api.path2fid(path.c_str(), &fid), 0) << path;
    return fid;
}

int SimTest::Submit(const std::string& path, int action, unsigned archive, const std::string& data)
{
    std::unique_ptr<hsm_user_request, decltype(&free)> hur(
        api.user_request_alloc(1, static_cast<int>(data.size())), &free);
    if (!hur) return -ENOMEM;
    hur->hur_request.hr_action = static_cast<unsigned>(action);
    hur->hur_request.hr_archive_id = archive;
    hur->hur_request.hr_itemcount = 1;
    hur->hur_request.hr_data_len = static_cast<unsigned>(data.size());
    lu_fid fid = FidOf(path);
    memcpy(&hur->hur_user_item[0].hui_fid, &fid, sizeof fid);
    hur->hur_user_item[0].hui_extent.offset = 0;
    hur->hur_user_item[0].hui_extent.length = ~0ULL;
    memcpy(reinterpret_cast<char*>(hur.get()) + hur_len_for(1, 0), data.data(), data.size());
    return api.request(path.c_str(), hur.get());
}

int SimTest::RunHelper(const std::vector<std::string>& args, std::string& out)
{
    std::vector<std::string> all = {LUSTRE_SIM_HELPER, LUSTRE_SIM_LIBRARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return -1;
    }
    out.clear();
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace simtest

bool operator==(const lu_fid& a, const lu_fid& b)
{
    return a.f_seq == b.f_seq && a.f_oid == b.f_oid && a.f_ver == b.f_ver;
}

void PrintTo(const lu_fid& fid, std::ostream* os) { *os << simtest::FidText(fid); }
