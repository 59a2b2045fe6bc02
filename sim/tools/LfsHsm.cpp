#include "LfsHsm.h"

#include <fcntl.h>
#include <limits.h>
#include <lustre/lustreapi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "Getopt.h"

namespace sim {
namespace {

constexpr int kCmdHelp = 4;

// A command's help as lfs prints it from version `from` (a minor number) on.
struct CommandHelp {
    const char* name;
    int from;
    const char* text;
};

const char kRemoveHelp[] =
    "Remove file copy from external storage.\nusage: hsm_remove [--filelist FILELIST] [--data DATA] [--archive NUM]\n"
    "                  (FILE [FILE ...] | --mntpath MOUNTPATH FID [FID ...])\n\nNote: To remove an archived copy of a "
    "file already deleted from a Lustre FS, the\n--mntpath option and a list of FIDs must be specified";

// Later rows of a command replace earlier ones.
const CommandHelp kHelp[] = {
    {"hsm_state", 0,
     "Display the HSM information (states, undergoing actions) for given files.\n usage: hsm_state <file> ..."},
    {"hsm_state", 17, "Display the HSM information for given files.\nusage: hsm_state FILE"},
    {"hsm_action", 0, "Display current HSM request for given files.\nusage: hsm_action <file> ..."},
    {"hsm_action", 17, "Display current HSM request for given files.\nusage: hsm_action FILE"},
    {"hsm_archive", 0,
     "Archive file to external storage.\nusage: hsm_archive [--filelist FILELIST] [--data DATA] [--archive NUM] <file> "
     "..."},
    {"hsm_release", 0, "Release files from Lustre.\nusage: hsm_release [--filelist FILELIST] [--data DATA] <file> ..."},
    {"hsm_restore", 0,
     "Restore file from external storage.\nusage: hsm_restore [--filelist FILELIST] [--data DATA] <file> ..."},
    {"hsm_remove", 0, kRemoveHelp},
    {"hsm_cancel", 0,
     "Cancel requests related to specified files.\nusage: hsm_cancel [--filelist FILELIST] [--data DATA] <file> ..."},
    {"hsm_set", 0,
     "Set HSM user flag on specified files.\nusage: hsm_set [--norelease] [--noarchive] [--dirty] [--exists] "
     "[--archived] [--lost] [--archive-id NUM] <file> ..."},
    {"hsm_clear", 0,
     "Clear HSM user flag on specified files.\nusage: hsm_clear [--norelease] [--noarchive] [--dirty] [--exists] "
     "[--archived] [--lost] <file> ..."},
    {"path2fid", 0, "Display the fid(s) for a given path(s).\nusage: path2fid [--parents] <path> ..."},
    {"fid2path", 0,
     "Resolve the full path(s) for given FID(s). For a specific hardlink specify link number <linkno>.\n"
     "usage: fid2path [--link <linkno>] <fsname|rootpath> <fid> ..."},
    {"fid2path", 14,
     "Resolve the full path(s) for given FID(s). For a specific hardlink specify link number <linkno>.\n"
     "usage: fid2path [-c] [--link|-l <linkno>] <fsname|root> <fid> ..."},
    {"fid2path", 15,
     "Resolve the full path(s) for given FID(s). For a specific hardlink specify link number <linkno>.\n"
     "usage: fid2path [--print-fid|-f] [--print-link|-c] [--link|-l <linkno>] <fsname|root> <fid>..."},
    {"fid2path", 16,
     "Resolve the full path(s) for given FID(s). For a specific hardlink specify link number <linkno>.\n"
     "usage: fid2path [--print0|-0] [--print-fid|-f] [--print-link|-c] [--link|-l <linkno>] [--name|-n] "
     "<fsname|root> <fid>..."},
};

}  // namespace

const char* LfsHelpText(const LustreVersion& version, const std::string& command)
{
    const char* text = nullptr;
    for (const auto& help : kHelp)
        if (command == help.name && version.AtLeast(help.from)) text = help.text;
    return text;
}

namespace {

int Usage(const ToolContext& ctx, const std::string& command)
{
    if (const char* text = LfsHelpText(ctx.version, command))
        fprintf(ctx.version.HelpOnStdout() ? stdout : stderr, "%s\n", text);
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
        const int rc = state ? llapi_hsm_state_get(file.c_str(), &hus) : llapi_hsm_current_action(file.c_str(), &hca);
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

// A command's options through getopt_long, as lfs reads them (lfs itself
// names a refused option); false after a refusal, with the usage printed.
bool ReadOptions(const ToolContext& ctx, const std::string& command, const std::vector<std::string>& args,
                 const char* letters, const std::vector<LongOption>& longOptions, ParsedOptions& parsed,
                 const std::string& prefix = "lfs: ")
{
    std::string badArg, message;
    if (Getopt(command, args, letters, &longOptions, parsed, badArg, message)) return true;
    fprintf(stderr, "%sunrecognized option '%s'\n", prefix.c_str(), badArg.c_str());
    Usage(ctx, command);
    return false;
}

// hsm_archive, hsm_release, hsm_restore, hsm_remove and hsm_cancel: the
// files named, then the lines of --filelist, go into one request, as lfs
// builds it; no version splits it, so too many files get the kernel's E2BIG.
int Request(const ToolContext& ctx, const std::string& command, const std::vector<std::string>& args)
{
    const int action = command == "hsm_archive"   ? HUA_ARCHIVE
                       : command == "hsm_release" ? HUA_RELEASE
                       : command == "hsm_remove"  ? HUA_REMOVE
                       : command == "hsm_cancel"  ? HUA_CANCEL
                                                  : HUA_RESTORE;
    if (args.empty()) return Usage(ctx, command);
    ParsedOptions parsed;
    if (!ReadOptions(ctx, command, args, "a:D:hl:m:",
                     {{"archive", 'a', true},
                      {"data", 'D', true},
                      {"help", 'h', false},
                      {"filelist", 'l', true},
                      {"mntpath", 'm', true}},
                     parsed))
        return kCmdHelp;
    std::vector<std::string> files = parsed.operands;
    std::string data, fileList;
    unsigned archiveId = 0;
    for (const auto& [letter, value] : parsed.options) {
        if (letter == 'h') return Usage(ctx, command);
        if (letter == 'm') {
            fprintf(stderr, "lfs (stand-in): %s --mntpath is not supported\n", command.c_str());
            return kCmdHelp;
        }
        if (letter == 'a' && action != HUA_ARCHIVE && action != HUA_REMOVE) {
            fprintf(stderr, "error: -a is supported only when archiving or removing\n");
            return Usage(ctx, command);
        }
        if (letter == 'a') archiveId = static_cast<unsigned>(atoi(value.c_str()));
        if (letter == 'D') data = value;
        if (letter == 'l') fileList = value;
    }
    if (!fileList.empty()) {
        std::ifstream list(fileList);
        if (!list) {
            fprintf(stderr, "Cannot read the file list %s: %s\n", fileList.c_str(), strerror(errno));
            return errno;
        }
        for (std::string line; std::getline(list, line);)
            if (!line.empty()) files.push_back(line);
    }
    // Options and no file: 2.16 returns errno, 0 by then.
    if (files.empty()) return ctx.version.AtLeast(16) ? 0 : Usage(ctx, command);

    std::unique_ptr<hsm_user_request, decltype(&free)> hur(
        llapi_hsm_user_request_alloc(static_cast<int>(files.size()), static_cast<int>(data.size())), &free);
    if (!hur) {
        fprintf(stderr, "Cannot create the request: %s\n", strerror(errno));
        return errno;
    }
    hur->hur_request.hr_action = static_cast<unsigned>(action);
    hur->hur_request.hr_archive_id = archiveId;
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
        char mountDir[PATH_MAX] = "";
        if (llapi_search_mounts(file.c_str(), 0, mountDir, nullptr) != 0) mountDir[0] = '\0';
        if (i > 0 && firstMount != mountDir) {
            fprintf(stderr, "All files should be on the same filesystem: %s\n", file.c_str());
            return EINVAL;
        }
        firstMount = mountDir;
        hsm_user_item item{};
        if (const int rc = llapi_path2fid(file.c_str(), &item.hui_fid)) {
            fprintf(stderr, "Cannot read FID of %s: %s\n", file.c_str(), strerror(-rc));
            return -rc;
        }
        item.hui_extent.length = ~0ULL;
        memcpy(static_cast<void*>(&hur->hur_user_item[i]), &item, sizeof item);
        ++hur->hur_request.hr_itemcount;
    }
    hur->hur_request.hr_data_len = static_cast<unsigned>(data.size());
    memcpy(reinterpret_cast<char*>(hur.get()) + sizeof(hsm_user_request) + files.size() * sizeof(hsm_user_item),
           data.data(), data.size());
    if (const int rc = llapi_hsm_request(files[0].c_str(), hur.get())) {
        fprintf(stderr, "Cannot send HSM request (use of %s): %s\n", files[0].c_str(), strerror(-rc));
        return -rc;
    }
    return 0;
}

// hsm_set and hsm_clear: one llapi_hsm_state_set per file, stopping at the
// first failure.
int ChangeFlags(const ToolContext& ctx, const std::string& command, const std::vector<std::string>& args)
{
    if (args.size() < 2) return Usage(ctx, command);
    ParsedOptions parsed;
    if (!ReadOptions(ctx, command, args, "aAdehi:lr",
                     {{"archived", 'A', false},
                      {"noarchive", 'a', false},
                      {"dirty", 'd', false},
                      {"exists", 'e', false},
                      {"help", 'h', false},
                      {"archive-id", 'i', true},
                      {"lost", 'l', false},
                      {"norelease", 'r', false}},
                     parsed))
        return kCmdHelp;
    static const struct {
        char letter;
        unsigned bit;
    } kFlags[] = {{'l', HS_LOST},      {'a', HS_NOARCHIVE}, {'A', HS_ARCHIVED},
                  {'r', HS_NORELEASE}, {'d', HS_DIRTY},     {'e', HS_EXISTS}};
    unsigned long long mask = 0;
    unsigned archiveId = 0;
    for (const auto& [letter, value] : parsed.options) {
        if (letter == 'h') return Usage(ctx, command);
        for (const auto& f : kFlags)
            if (letter == f.letter) mask |= f.bit;
        if (letter == 'i') {
            // strtol into a 32-bit id: lfs names only what follows the digits.
            char* end = nullptr;
            errno = 0;
            archiveId = static_cast<unsigned>(strtol(value.c_str(), &end, 10));
            if (errno != 0 || *end != '\0') {
                fprintf(stderr, "lfs: invalid archive_id: '%s'\n", end);
                return Usage(ctx, command);
            }
        }
    }
    if (mask == 0) return Usage(ctx, command);
    for (const std::string& file : parsed.operands) {
        const int rc = command == "hsm_set" ? llapi_hsm_state_set(file.c_str(), mask, 0, archiveId)
                                            : llapi_hsm_state_set(file.c_str(), 0, mask, 0);
        if (rc != 0) {
            fprintf(stderr, "Can't change hsm flags for %s: %s\n", file.c_str(), strerror(-rc));
            return -rc;
        }
    }
    return 0;
}

// The parents of path, link by link: "[<parent FID>]/<name>" each.
int Parents(const std::string& path, std::vector<std::string>& parents)
{
    for (unsigned link = 0;; ++link) {
        lu_fid parent{};
        char name[NAME_MAX + 1];
        const int rc = llapi_path2parent(path.c_str(), link, &parent, name, sizeof name);
        if (rc == -ENODATA && link > 0) return 0;
        if (rc != 0) return rc;
        char text[64];
        snprintf(text, sizeof text, DFID "/", PFID(&parent));
        parents.push_back(text + std::string(name));
    }
}

int Path2Fid(const ToolContext& ctx, const std::vector<std::string>& args)
{
    const bool named = ctx.version.AtLeast(12);  // "lfs path2fid: ..." from 2.12
    ParsedOptions parsed;
    if (!ReadOptions(ctx, "path2fid", args, "p", {{"parents", 'p', false}}, parsed, "lfs path2fid: ")) return kCmdHelp;
    const bool parents = !parsed.options.empty();
    const std::vector<std::string>& files = parsed.operands;
    if (files.empty()) {
        if (named) fprintf(stderr, "lfs path2fid: FILE... must be specified\n");
        return Usage(ctx, "path2fid");
    }
    int first = 0;
    for (const std::string& file : files) {
        lu_fid fid{};
        std::vector<std::string> found;
        const int rc = parents ? Parents(file, found) : llapi_path2fid(file.c_str(), &fid);
        if (rc != 0) {
            if (named)
                fprintf(stderr, "lfs path2fid: cannot get %sfid for '%s': %s\n", parents ? "parent " : "", file.c_str(),
                        strerror(-rc));
            else
                fprintf(stderr, "path2fid: can't get %sfid for %s: %s\n", parents ? "parent " : "", file.c_str(),
                        strerror(-rc));
            if (first == 0) first = -rc;
            continue;
        }
        if (files.size() > 1) printf("%s: ", file.c_str());
        if (!parents) printf(DFID "\n", PFID(&fid));
        for (size_t i = 0; i < found.size(); ++i) printf("%s%s", i ? "\t" : "", found[i].c_str());
        if (parents) printf("\n");
    }
    return first;
}

// lfs fid2path. From 2.15 the mount is resolved first (a path as a mount
// that holds it, a name as a file system), each FID is read as
// llapi_fid_parse reads it, and every link is printed unless --link names
// one. Before, llapi_fid2path reads the FID and one link is printed below
// the mount point of the device named.
int Fid2Path(const ToolContext& ctx, const std::vector<std::string>& args)
{
    const bool v215 = ctx.version.AtLeast(15);
    ParsedOptions parsed;
    const std::vector<LongOption> longOptions =
        v215 ? std::vector<LongOption>{{"cur", 'c', false},
                                       {"current", 'c', false},
                                       {"print-link", 'c', false},
                                       {"print-fid", 'f', false},
                                       {"link", 'l', true}}
             : std::vector<LongOption>{{"cur", 'c', false}, {"link", 'l', true}, {"rec", 'r', true}};
    if (!ReadOptions(ctx, "fid2path", args, v215 ? "cfl:pr:" : "cl:r:", longOptions, parsed, "lfs fid2path: "))
        return kCmdHelp;
    bool printFid = false, printLink = false;
    int link = -1;
    long long recno = -1;
    for (const auto& [letter, value] : parsed.options) {
        if (letter == 'p') {  // in lfs's letters, but no case of its own
            fprintf(stderr, "lfs fid2path: unrecognized option '-p'\n");
            return Usage(ctx, "fid2path");
        }
        printLink = printLink || letter == 'c';
        printFid = printFid || letter == 'f';
        if (letter != 'l' && letter != 'r') continue;
        char* end = nullptr;
        errno = 0;
        const long long n = strtoll(value.c_str(), &end, 10);
        if (errno != 0 || *end != '\0' || n < 0 || (letter == 'l' && n > INT_MAX)) {
            fprintf(stderr, "lfs fid2path: invalid %s '%s'\n", letter == 'l' ? "linkno" : "recno", value.c_str());
            return Usage(ctx, "fid2path");
        }
        if (letter == 'l')
            link = static_cast<int>(n);
        else
            recno = n;
    }
    const std::vector<std::string>& rest = parsed.operands;
    if (rest.size() < 2) {
        if (v215) fprintf(stderr, "Usage: lfs fid2path FSNAME|ROOT FID...\n");
        return Usage(ctx, "fid2path");
    }
    const std::string& device = rest[0];
    const bool byPath = device[0] == '/';
    char mountDir[PATH_MAX] = "";
    // Before 2.15 a device may also name an MDT of the file system.
    const std::string fsname = v215 ? device : device.substr(0, device.find("-MDT"));
    const int found = byPath ? llapi_search_mounts(device.c_str(), 0, mountDir, nullptr)
                             : llapi_search_rootpath(mountDir, fsname.c_str());
    if (found != 0 && v215) {
        fprintf(stderr, "lfs fid2path: cannot resolve mount point for '%s': %s\n", device.c_str(), strerror(-found));
        return -found;
    }
    const int mountFd = v215 ? open(mountDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    int first = 0;
    for (size_t i = 1; i < rest.size(); ++i) {
        lu_fid fid{};
        if (const int rc = v215 ? llapi_fid_parse(rest[i].c_str(), &fid, nullptr) : 0) {
            fprintf(stderr, "lfs fid2path: invalid FID '%s'\n", rest[i].c_str());
            if (first == 0) first = -rc;
            continue;
        }
        for (int current = link < 0 ? 0 : link;;) {
            const int asked = current;
            char path[PATH_MAX];
            long long rectmp = recno;
            const int rc = v215 ? llapi_fid2path_at(mountFd, &fid, path, sizeof path, &rectmp, &current)
                                : llapi_fid2path(device.c_str(), rest[i].c_str(), path, sizeof path, &rectmp, &current);
            if (rc != 0) {
                if (v215)
                    fprintf(stderr, "lfs fid2path: cannot find %s %s: %s\n", device.c_str(), rest[i].c_str(),
                            strerror(-rc));
                else
                    fprintf(stderr, "lfs fid2path: cannot find '%s': %s\n", rest[i].c_str(), strerror(-rc));
                if (first == 0) first = -rc;
                break;
            }
            if (printFid) printf("%s ", rest[i].c_str());
            if (printLink) v215 ? printf("%d ", current) : printf("%lld ", rectmp);
            if (v215) {
                printf("%s%s%s\n", byPath ? mountDir : "", byPath || !*path ? "/" : "", path);
            } else {
                // The path below the mount point of the device given.
                const bool root = strcmp(path, "/") == 0;
                printf("%s%s%s\n", found == 0 ? mountDir : device.c_str(), root ? "" : "/", root ? "" : path);
                break;
            }
            if (link >= 0 || current == asked) break;
        }
    }
    if (mountFd >= 0) close(mountFd);
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
    if (command == "hsm_set" || command == "hsm_clear") return ChangeFlags(ctx, command, args);
    return Request(ctx, command, args);
}

}  // namespace sim
