// Control interface of the Lustre stand-in liblustreapi.so, for tests.
//
// These functions are exported by the stand-in library next to the llapi_*
// entry points. A test that loads the library with dlopen looks them up with
// dlsym (the typedefs below name their types); a test linked against the
// library may call them directly.
//
// Entry points are named by their Lustre name without any prefix change,
// e.g. "llapi_hsm_request". Unknown names are ignored by the setters and
// answer -1 / 0 from the getters.
//
// The state kept here is per process (it lives in the loaded library), not
// in the state directory.
#pragma once
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Makes the next call of entry_point return result without doing anything
// else (no argument checks, no side effects, the call is still counted and
// its arguments recorded). For llapi_hsm_user_request_alloc any result makes
// the call return NULL. One pending failure per entry point; a second call
// replaces the first.
void lustre_sim_fail_next(const char* entry_point, int result);
// Drops every pending failure.
void lustre_sim_fail_clear(void);

// How many times entry_point was called since load or the last reset
// (failed calls included); -1 for an unknown name.
int lustre_sim_call_count(const char* entry_point);

// The arguments an entry point last received. Only the members the entry
// point has are filled, the others are zero/NULL/empty. Strings are copied
// (truncated to fit, always NUL-terminated); pointers are recorded as given
// and may no longer be valid.
//
//   llapi_hsm_copytool_register   ptr0=priv out  str0=mnt  int0=archive_count
//                                 ptr1=archives  int1=rfd_flags
//                                 archives[]/archive_ids_count copied (up to 32)
//   llapi_hsm_copytool_unregister ptr0=priv
//   llapi_hsm_copytool_recv       ptr0=ct  ptr1=hal out  ptr2=msgsize out
//   llapi_hsm_action_begin        ptr0=phcp  ptr1=ct  ptr2=hai
//                                 int0=restore_mdt_index
//                                 int1=restore_open_flags  int2=is_error
//   llapi_hsm_action_end          ptr0=phcp  ptr1=extent  int0=hp_flags
//                                 int1=errval  (extent copied to extent when
//                                 not NULL, has_extent=1)
//   llapi_hsm_action_progress     ptr0=hcp  ptr1=extent  u64=total
//                                 int0=hp_flags (extent copied as for end)
//   llapi_hsm_action_get_fd       ptr0=hcp
//   llapi_hsm_action_get_dfid     ptr0=hcp  ptr1=fid out
//   llapi_hsm_user_request_alloc  int0=itemcount  int1=data_len
//   llapi_hsm_request             str0=path  ptr0=request
//                                 (bytes: lustre_sim_last_request)
//   llapi_search_fsname           str0=pathname  ptr0=fsname out
//   llapi_fid2path                str0=device  str1=fidstr  ptr0=path out
//                                 int0=pathlen  ptr1=recno  ptr2=linkno
//                                 u64=*recno on entry (when recno not NULL)
//                                 int1=*linkno on entry (when not NULL)
//   llapi_path2fid                str0=path  ptr0=fid out
//   llapi_get_mdt_index_by_fid    int0=fd  ptr0=fid  ptr1=mdt_index out
//                                 fid copied to fid when not NULL, has_fid=1
//   llapi_fd2fid                  int0=fd  ptr0=fid out
//   llapi_hsm_state_get           str0=path  ptr0=hus out
//   llapi_hsm_state_set           str0=path  u64=setmask  int0=clearmask
//                                 (as unsigned bits)  int1=archive_id
//   llapi_hsm_current_action      str0=path  ptr0=hca out
//   llapi_fid2path_at             int0=mnt_fd  ptr0=fid  ptr1=path out  int1=pathlen
//   llapi_hsm_import              str0=dst  int0=archive  ptr0=st  ptr1=newfid out
//   llapi_changelog_start         ptr0=priv out  int0=flags  str0=mdtname
//                                 int1=startrec
//   llapi_changelog_fini          ptr0=priv
//   llapi_changelog_clear         str0=mdtname  str1=idstr  int0=endrec
//   llapi_changelog_get_fd        ptr0=priv
//   llapi_changelog_set_xflags    ptr0=priv  int0=extra_flags
//   llapi_changelog_recv          a failure can be injected (it then sets
//                                 *rech to NULL); not counted, nothing recorded
//   llapi_changelog_free, _in_buf not counted, nothing recorded
struct lustre_sim_args {
    const void* ptr0;
    const void* ptr1;
    const void* ptr2;
    long long int0;
    long long int1;
    long long int2;
    unsigned long long u64;
    char str0[4096];
    char str1[4096];
    int archive_ids[32];
    int archive_ids_count;
    int has_extent;
    unsigned long long extent_offset;
    unsigned long long extent_length;
    int has_fid;
    unsigned long long fid_seq;
    unsigned int fid_oid;
    unsigned int fid_ver;
};

// Copies the arguments entry_point last received into *out. Returns 0, or
// -ENOENT when the entry point has not been called since load or the last
// reset, -EINVAL for an unknown name or a NULL out.
int lustre_sim_last_args(const char* entry_point, struct lustre_sim_args* out);

// The exact bytes of the request last handed to llapi_hsm_request
// (24 + 32 * hr_itemcount + hr_data_len bytes as read from its header, or
// only the 24 header bytes when those counts were out of range). Copies up
// to len bytes into buf (buf may be NULL when len is 0) and returns the full
// length; 0 when no request was handed over.
size_t lustre_sim_last_request(void* buf, size_t len);

// Clears failures, call counts and recorded arguments. Does not touch the
// state directory.
void lustre_sim_reset(void);

typedef void (*lustre_sim_fail_next_t)(const char* entry_point, int result);
typedef void (*lustre_sim_fail_clear_t)(void);
typedef int (*lustre_sim_call_count_t)(const char* entry_point);
typedef int (*lustre_sim_last_args_t)(const char* entry_point, struct lustre_sim_args* out);
typedef size_t (*lustre_sim_last_request_t)(void* buf, size_t len);
typedef void (*lustre_sim_reset_t)(void);

#ifdef __cplusplus
}  // extern "C"
#endif
