/* The Lustre stand-in's liblustreapi, under the path and the names of
 * Lustre's own lustreapi.h: the prototypes of every entry point the stand-in
 * exports, with the types of linux/lustre/lustre_user.h. Written for C and
 * C++; code written against Lustre's header compiles against this one
 * unchanged.
 *
 * This folder stands in for Lustre's headers only where Lustre's development
 * files are not installed; it is never on the compiler's default search path.
 */
#ifndef LUSTRE_SIM_LUSTREAPI_H
#define LUSTRE_SIM_LUSTREAPI_H

#include <linux/lustre/lustre_user.h>
#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

#define lustre_fid struct lu_fid

/* Opaque: only the library creates, reads and frees them. */
struct hsm_copytool_private;
struct hsm_copyaction_private;

/* ---- Copytool ---- */

int llapi_hsm_copytool_register(struct hsm_copytool_private** priv, const char* mnt, int archive_count, int* archives,
                                int rfd_flags);
int llapi_hsm_copytool_unregister(struct hsm_copytool_private** priv);
int llapi_hsm_copytool_recv(struct hsm_copytool_private* priv, struct hsm_action_list** hal, int* msgsize);

int llapi_hsm_action_begin(struct hsm_copyaction_private** phcp, const struct hsm_copytool_private* ct,
                           const struct hsm_action_item* hai, int restore_mdt_index, int restore_open_flags,
                           bool is_error);
int llapi_hsm_action_end(struct hsm_copyaction_private** phcp, const struct hsm_extent* he, int hp_flags, int errval);
int llapi_hsm_action_progress(struct hsm_copyaction_private* hcp, const struct hsm_extent* he, __u64 total,
                              int hp_flags);
int llapi_hsm_action_get_fd(const struct hsm_copyaction_private* hcp);
int llapi_hsm_action_get_dfid(const struct hsm_copyaction_private* hcp, struct lu_fid* fid);

/* ---- HSM requests and states ---- */

/* Released with free(); the caller fills in hr_itemcount and hr_data_len. */
struct hsm_user_request* llapi_hsm_user_request_alloc(int itemcount, int data_len);
int llapi_hsm_request(const char* path, const struct hsm_user_request* request);

int llapi_hsm_state_get(const char* path, struct hsm_user_state* hus);
int llapi_hsm_state_set(const char* path, __u64 setmask, __u64 clearmask, __u32 archive_id);
int llapi_hsm_current_action(const char* path, struct hsm_current_action* hca);

/* ---- File identifiers and file systems ---- */

int llapi_search_fsname(const char* pathname, char* fsname);
int llapi_fid2path(const char* device, const char* fidstr, char* path, int pathlen, long long* recno, int* linkno);
int llapi_path2fid(const char* path, struct lu_fid* fid);
int llapi_get_mdt_index_by_fid(int fd, const struct lu_fid* fid, int* mdt_index);
int llapi_fd2fid(int fd, struct lu_fid* fid);

/* ---- Changelog readers ----
 * start opens a reader of an MDT's changelog from startrec (0: the first
 * record kept); recv hands out one record at a time (0), or 1 at the end;
 * each record is released with llapi_changelog_free; fini closes the reader.
 * Errors are negative errno values. */

int llapi_changelog_start(void** priv, enum changelog_send_flag flags, const char* mdtname, long long startrec);
int llapi_changelog_recv(void* priv, struct changelog_rec** rech);
int llapi_changelog_free(struct changelog_rec** rech);
int llapi_changelog_fini(void** priv);
int llapi_changelog_clear(const char* mdtname, const char* idstr, long long endrec);
int llapi_changelog_in_buf(void* priv);
int llapi_changelog_get_fd(void* priv);
int llapi_changelog_set_xflags(void* priv, enum changelog_send_extra_flag extra_flags);

#ifdef __cplusplus
}
#endif

#endif /* LUSTRE_SIM_LUSTREAPI_H */
