#include "LfsHsm.h"

#include <limits.h>
#include <lustre/lustreapi.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "FidText.h"
#include "Operations.h"
#include "SimState.h"

namespace sim {
namespace {

constexpr int kCmdHelp = 4;

struct CommandHelp {
    const char* name;
    const char* upTo216;  // the text up to 2.16
    const char* from217;  // b2_17 and later
};

const CommandHelp kHelp[] = {
    {"hsm_state",
     "Display the HSM information (states, undergoing actions) for given files.\n usage: hsm_state <file> ...",
     "Display the HSM information for given files.\nusage: hsm_state FILE"},
    {"hsm_action", "Display current HSM request for given files.\nusage: hsm_action <file> ...",
     "Display current HSM request for given files.\nusage: hsm_action FILE"},
    {"hsm_archive",
     "Archive file to external storage.\nusage: hsm_archive [--filelist FILELIST] [--data DATA] [--archive NUM] <file> "
     "...",
     nullptr},
    {"hsm_release",
     "Remove data from Lustre, keeping it in external storage.\nusage: hsm_release [--filelist FILELIST] [--data DATA] "
     "<file> ...",
     nullptr},
    {"hsm_restore",
     "Restore file from external storage.\nusage: hsm_restore [--filelist FILELIST] [--data DATA] <file> ...", nullptr},
    {"path2fid", "Display the fid(s) for a given path(s).\nusage: path2fid [--parents] <path> ...", nullptr},
    {"fid2path",
     "Resolve the full path(s) for given FID(s).\nusage: fid2path [--link <linkno>] <fsname|rootpath> <fid> ...",
     nullptr},
};

int Usage(const ToolContext& ctx, const std::string& command)
{
    for (const auto& help : kHelp) {
        if (command != help.name) continue;
        const char* text = help.from217 && ctx.version.AtLeast(17) ? help.from217 : help.upTo216;
        fprintf(ctx.version.HelpOnStdout() ? stdout : stderr, "%s\n", text);
    }
    return kCmdHelp;
}

// One line of "lfs hsm_state".
void PrintState(const std::string& path, const hsm_user_state& hus)
{
    static const struct {
        unsigned bit;
        const char* word;
    } kWords[] = {{HS_RELEASED, "released"}, {HS_EXISTS, "exists"},           {HS_DIRTY, "dirty"},
                  {HS_ARCHIVED, "archived"}, {HS_NORELEASE, "never_release"}, {HS_NOARCHIVE, "never_archive"},
                  {HS_LOST, "lost_from_hsm"}};
    printf("%s: (0x%08x)", path.c_str(), hus.hus_states);
    for (const auto& w : kWords)
        if (hus.hus_states & w.bit) printf(" %s", w.word);
    if (hus.hus_archive_id != 0) printf(", archive_id:%d", static_cast<int>(hus.hus_archive_id));
    printf("\n");
}

// One line of "lfs hsm_action".
void PrintAction(const std::string& path, const hsm_current_action& hca)
{
    printf("%s: %s", path.c_str(), hsm_user_action2name(static_cast<hsm_user_action>(hca.hca_action)));
    if (hca.hca_action == HUA_NONE) {
        printf("\n");
        return;
    }
    printf(" %s ", hsm_progress_state2name(static_cast<hsm_progress_states>(hca.hca_state)));
    const unsigned long long offset = hca.hca_location.offset, length = hca.hca_location.length;
    if (hca.hca_state == HPS_RUNNING && (hca.hca_action == HUA_ARCHIVE || hca.hca_action == HUA_RESTORE))
        printf("(%llu bytes moved)\n", length);
    else if (offset + length == ~0ULL)
        printf("(from %llu to EOF)\n", offset);
    else
        printf("(from %llu to %llu)\n", offset, offset + length);
}

// hsm_state and hsm_action: up to 2.15 the first failing file stops the
// command; from 2.16 every file is tried. The exit status is the first
// failure's errno.
int ForEachFile(const ToolContext& ctx, const std::string& command, const std::vector<std::string>& files)
{
    if (files.empty()) return Usage(ctx, command);
    const bool state = command == "hsm_state";
    int first = 0;
    for (const std::string& file : files) {
        hsm_user_state hus{};
        hsm_current_action hca{};
        const int rc = state ? lib::StateGet(file.c_str(), &hus) : lib::CurrentAction(file.c_str(), &hca);
        if (rc == 0) {
            state ? PrintState(file, hus) : PrintAction(file, hca);
            continue;
        }
        const char* what = state ? "HSM state" : "hsm action";
        if (!ctx.version.AtLeast(16)) {
            fprintf(stderr, "can't get %s for %s: %s\n", state ? "hsm state" : "hsm action", file.c_str(),
                    strerror(-rc));
            return -rc;
        }
        fprintf(stderr, "lfs %s: get %s for '%s' failed: %s\n", command.c_str(), what, file.c_str(), strerror(-rc));
        if (first == 0) first = -rc;
    }
    return first;
}

// hsm_archive, hsm_release and hsm_restore: every file named (and every line
// of --filelist) goes into one request, as lfs builds it; no version splits
// it, so too many files get the kernel's E2BIG.
int Request(const ToolContext& ctx, const std::string& command, const std::vector<std::string>& args)
{
    const int action = command == "hsm_archive" ? HUA_ARCHIVE : command == "hsm_release" ? HUA_RELEASE : HUA_RESTORE;
    std::vector<std::string> files;
    std::string data;
    unsigned archiveId = 0;
    bool options = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if ((a == "-a" || a == "--archive") && action == HUA_ARCHIVE && hasValue) {
            unsigned long long id = 0;
            if (!lib::ParseU64(args[++i], id) || id > UINT_MAX) return Usage(ctx, command);
            archiveId = static_cast<unsigned>(id);
            options = true;
        } else if ((a == "-D" || a == "--data") && hasValue) {
            data = args[++i];
            options = true;
        } else if ((a == "-l" || a == "--filelist") && hasValue) {
            std::ifstream list(args[++i]);
            if (!list) {
                fprintf(stderr, "Cannot read %s: %s\n", args[i].c_str(), strerror(errno));
                return errno;
            }
            for (std::string line; std::getline(list, line);)
                if (!line.empty()) files.push_back(line);
            options = true;
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "%s: unrecognized option '%s'\n", command.c_str(), a.c_str());
            return Usage(ctx, command);
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) return options && ctx.version.AtLeast(16) ? 0 : Usage(ctx, command);

    std::unique_ptr<hsm_user_request, decltype(&free)> hur(
        lib::UserRequestAlloc(static_cast<int>(files.size()), static_cast<int>(data.size())), &free);
    if (!hur) {
        fprintf(stderr, "Cannot create HSM request: %s\n", strerror(ENOMEM));
        return ENOMEM;
    }
    lib::Context simCtx;
    const bool haveState = lib::LoadContext(simCtx);
    std::string firstMount;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        struct stat st;
        if (lstat(file.c_str(), &st) != 0) {
            const int err = errno;
            fprintf(stderr, "Cannot stat %s: %s\n", file.c_str(), strerror(err));
            return err;
        }
        if (!S_ISREG(st.st_mode)) {
            fprintf(stderr, "error: \"%s\" is not a regular file\n", file.c_str());
            return Usage(ctx, command);
        }
        // lfs compares devices; the stand-in's mounts may share one, so it
        // compares the mounts that hold the files.
        const lib::Located loc = haveState ? lib::Locate(simCtx.config, file) : lib::Located{};
        const std::string mount = loc.mount ? loc.mountDir : "";
        if (i > 0 && mount != firstMount) {
            fprintf(stderr, "All files should be on the same filesystem: %s\n", file.c_str());
            return EINVAL;
        }
        firstMount = mount;
        lu_fid fid{};
        if (const int rc = lib::Path2Fid(file.c_str(), &fid)) {
            fprintf(stderr, "Cannot read FID of %s: %s\n", file.c_str(), strerror(-rc));
            return -rc;
        }
        hsm_user_item item{};
        item.hui_fid = fid;
        item.hui_extent.offset = 0;
        item.hui_extent.length = ~0ULL;
        memcpy(static_cast<void*>(&hur->hur_user_item[i]), &item, sizeof item);
    }
    hsm_request header{};
    header.hr_action = static_cast<unsigned>(action);
    header.hr_archive_id = archiveId;
    header.hr_itemcount = static_cast<unsigned>(files.size());
    header.hr_data_len = static_cast<unsigned>(data.size());
    hur->hur_request = header;
    memcpy(reinterpret_cast<char*>(hur.get()) + sizeof(hsm_user_request) + files.size() * sizeof(hsm_user_item),
           data.data(), data.size());
    if (const int rc = lib::Request(files[0].c_str(), hur.get())) {
        fprintf(stderr, "Cannot send HSM request (use of %s): %s\n", files[0].c_str(), strerror(-rc));
        return -rc;
    }
    return 0;
}

int Path2Fid(const ToolContext& ctx, const std::vector<std::string>& files)
{
    if (files.empty()) return Usage(ctx, "path2fid");
    int first = 0;
    for (const std::string& file : files) {
        lu_fid fid{};
        if (const int rc = lib::Path2Fid(file.c_str(), &fid)) {
            fprintf(stderr, "lfs path2fid: can't get fid for %s: %s\n", file.c_str(), strerror(-rc));
            if (first == 0) first = -rc;
            continue;
        }
        if (files.size() > 1) printf("%s: ", file.c_str());
        printf("%s\n", lib::FormatFid(fid).c_str());
    }
    return first;
}

int Fid2Path(const ToolContext& ctx, const std::vector<std::string>& args)
{
    std::vector<std::string> rest;
    int link = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        unsigned long long n = 0;
        if ((args[i] == "-l" || args[i] == "--link") && i + 1 < args.size() && lib::ParseU64(args[i + 1], n) &&
            n <= INT_MAX) {
            link = static_cast<int>(n);
            ++i;
        } else {
            rest.push_back(args[i]);
        }
    }
    if (rest.size() < 2) return Usage(ctx, "fid2path");
    const std::string& device = rest[0];
    lib::Context simCtx;
    const Mount* mount = lib::LoadContext(simCtx) ? lib::FindDevice(simCtx.config, device) : nullptr;
    int first = 0;
    for (size_t i = 1; i < rest.size(); ++i) {
        char path[PATH_MAX];
        long long recno = -1;
        int linkno = link;
        const int rc = lib::Fid2Path(device.c_str(), rest[i].c_str(), path, sizeof path, &recno, &linkno);
        if (rc != 0) {
            fprintf(stderr, "lfs fid2path: cannot find '%s': %s\n", rest[i].c_str(), strerror(-rc));
            if (first == 0) first = -rc;
            continue;
        }
        // The path below the mount point of the device given.
        const std::string root = mount ? mount->dir : device;
        printf("%s%s%s\n", root.c_str(), strcmp(path, "/") == 0 ? "" : "/", strcmp(path, "/") == 0 ? "" : path);
    }
    return first;
}

}  // namespace

bool IsLfsHsmCommand(const std::string& command)
{
    for (const auto& help : kHelp)
        if (command == help.name) return true;
    return false;
}

int RunLfsHsmCommand(const ToolContext& ctx, const std::string& command, const std::vector<std::string>& args)
{
    if (command == "hsm_state" || command == "hsm_action") return ForEachFile(ctx, command, args);
    if (command == "path2fid") return Path2Fid(ctx, args);
    if (command == "fid2path") return Fid2Path(ctx, args);
    return Request(ctx, command, args);
}

}  // namespace sim
