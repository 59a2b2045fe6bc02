// A minimal liblustreapi for situations the stand-in cannot produce. Built
// twice: with FAKE_LUSTRE_NO_ENTRY_POINTS it exports no entry point;
// otherwise all fifteen, of which only two do anything:
//   llapi_fid2path  "[0x1:0x1:0x0]": the whole buffer in letters, no NUL; 0
//                   "[0x2:0x2:0x0]": *recno and *linkno plus 1; -ENOENT
//                   others: "dir/file", *recno 41, *linkno 7; 0
//   llapi_path2fid  "/mnt/fs" and "/mnt/fs/": the root's FID; 0
//                   others: [0x2:0x2:0x0] into *fid, the record a failed
//                   call may leave behind; -ENOENT
//   llapi_hsm_state_get  a path ending in "fails": every bit and archive 9
//                   in *state, what a failed call may leave behind; -EIO;
//                   others: exists, archived, archive 1; 0
#include <cerrno>
#include <cstring>

#include <lustre/lustreapi.h>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

#ifdef FAKE_LUSTRE_NO_ENTRY_POINTS

FAKE_EXPORT int fake_lustre_marker(void) { return 0; }

#else

FAKE_EXPORT int llapi_fid2path(const char*, const char* fidstr, char* path, int pathlen, long long* recno, int* linkno)
{
    if (std::strcmp(fidstr, "[0x1:0x1:0x0]") == 0) {
        for (int i = 0; i < pathlen; ++i) path[i] = static_cast<char>('a' + i % 26);
        return 0;
    }
    if (std::strcmp(fidstr, "[0x2:0x2:0x0]") == 0) {
        *recno += 1;
        *linkno += 1;
        return -ENOENT;
    }
    std::strcpy(path, "dir/file");
    *recno = 41;
    *linkno = 7;
    return 0;
}

FAKE_EXPORT int llapi_path2fid(const char* path, lu_fid* fid)
{
    if (std::strcmp(path, "/mnt/fs") == 0 || std::strcmp(path, "/mnt/fs/") == 0) {
        *fid = lu_fid{0x200000007, 1, 0};
        return 0;
    }
    *fid = lu_fid{2, 2, 0};
    return -ENOENT;
}

FAKE_EXPORT int llapi_hsm_state_get(const char* path, hsm_user_state* state)
{
    const size_t length = std::strlen(path);
    const bool fails = length >= 5 && std::strcmp(path + length - 5, "fails") == 0;
    std::memset(static_cast<void*>(state), 0, sizeof *state);
    state->hus_states = fails ? ~0u : HS_EXISTS | HS_ARCHIVED;
    state->hus_archive_id = fails ? 9 : 1;
    return fails ? -EIO : 0;
}

#define FAKE_UNUSED(name, ...) \
    FAKE_EXPORT int name(__VA_ARGS__) { return -ENOSYS; }
FAKE_UNUSED(llapi_hsm_copytool_register, hsm_copytool_private**, const char*, int, int*, int)
FAKE_UNUSED(llapi_hsm_copytool_unregister, hsm_copytool_private**)
FAKE_UNUSED(llapi_hsm_copytool_recv, hsm_copytool_private*, hsm_action_list**, int*)
FAKE_UNUSED(llapi_hsm_action_begin, hsm_copyaction_private**, const hsm_copytool_private*, const hsm_action_item*, int,
            int, bool)
FAKE_UNUSED(llapi_hsm_action_end, hsm_copyaction_private**, const hsm_extent*, int, int)
FAKE_UNUSED(llapi_hsm_action_progress, hsm_copyaction_private*, const hsm_extent*, unsigned long long, int)
FAKE_UNUSED(llapi_hsm_action_get_fd, const hsm_copyaction_private*)
FAKE_UNUSED(llapi_hsm_action_get_dfid, const hsm_copyaction_private*, lu_fid*)
FAKE_UNUSED(llapi_hsm_request, const char*, const hsm_user_request*)
FAKE_UNUSED(llapi_search_fsname, const char*, char*)
FAKE_UNUSED(llapi_get_mdt_index_by_fid, int, const lu_fid*, int*)
FAKE_UNUSED(llapi_fd2fid, int, lu_fid*)
#undef FAKE_UNUSED

FAKE_EXPORT hsm_user_request* llapi_hsm_user_request_alloc(int, int) { return nullptr; }

#endif
