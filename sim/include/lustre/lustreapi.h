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

#include <glob.h>
#include <linux/lustre/lustre_user.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Macros that Lustre's header gives every includer, defined only when the
 * includer has not. C++ code that includes this header and then writes
 * [[fallthrough]] must #undef fallthrough first, as with Lustre's. */
#ifndef LL_MAXQUOTAS
#define LL_MAXQUOTAS 3
#endif
#ifndef SEL_UNIT_SIZE
#define SEL_UNIT_SIZE 1024llu
#endif
#ifndef LOV_PATTERN_DEFAULT
#define LOV_PATTERN_DEFAULT 0xffffffff
#endif
#ifndef fallthrough
#if defined(__GNUC__) && __GNUC__ >= 7
#define fallthrough __attribute__((fallthrough))
#else
#define fallthrough \
    do {            \
    } while (0)
#endif
#endif
#ifndef BUILD_BUG_ON
#define BUILD_BUG_ON(cond) ((void)sizeof(char[1 - 2 * !!(cond)]))
#endif

typedef struct statx lstatx_t;

#define lustre_fid struct lu_fid

/* ---- Messages ---- */

/* The level of a message; a message prints when its level is at most the
 * threshold (llapi_msg_set_level), which starts at LLAPI_MSG_MAX. */
enum llapi_message_level {
    LLAPI_MSG_OFF = 0,
    LLAPI_MSG_FATAL = 1,
    LLAPI_MSG_ERROR = 2,
    LLAPI_MSG_WARN = 3,
    LLAPI_MSG_NORMAL = 4,
    LLAPI_MSG_INFO = 5,
    LLAPI_MSG_DEBUG = 6,
    LLAPI_MSG_MAX
};

#define LLAPI_MSG_MASK 0x00000007     /* the level bits of a level argument */
#define LLAPI_MSG_NO_ERRNO 0x00000010 /* or-ed in: no ": <strerror> (<n>)" */

static inline const char* llapi_msg_level2str(enum llapi_message_level level)
{
    static const char* const names[LLAPI_MSG_MAX] = {"OFF", "FATAL", "ERROR", "WARNING", "NORMAL", "INFO", "DEBUG"};

    if ((int)level < 0 || level >= LLAPI_MSG_MAX) return NULL;
    return names[level];
}

/* Receives every message of its kind instead of the default output; err is
 * the positive error number. */
typedef void (*llapi_log_callback_t)(enum llapi_message_level level, int err, const char* fmt, va_list ap);

void llapi_msg_set_level(int level);
int llapi_msg_get_level(void);
/* Install cb (NULL: the default) and return the previous callback. */
llapi_log_callback_t llapi_error_callback_set(llapi_log_callback_t cb);
llapi_log_callback_t llapi_info_callback_set(llapi_log_callback_t cb);
/* Error messages go to stderr after "<program>: " (or "<program> <cmd>: "),
 * with ": <strerror(err)> (<err>)" unless LLAPI_MSG_NO_ERRNO is or-ed into
 * level; informational ones go to stdout as they are. errno is kept. */
void llapi_error(enum llapi_message_level level, int err, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
#define llapi_err_noerrno(level, ...) llapi_error((enum llapi_message_level)((level) | LLAPI_MSG_NO_ERRNO), 0, __VA_ARGS__)
void llapi_printf(enum llapi_message_level level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void llapi_set_command_name(const char* cmd);
void llapi_clear_command_name(void);

/* An error callback that writes each message as a LOGGED_MESSAGE event to
 * the HSM event FIFO, and nowhere when no FIFO is registered. */
void llapi_hsm_log_error(enum llapi_message_level level, int _rc, const char* fmt, va_list args);

/* ---- HSM event FIFO ---- */

/* Events (one JSON object per line) go to the FIFO at path, made with mode
 * 0644 when missing; one FIFO per process; events nobody reads are lost. */
int llapi_hsm_register_event_fifo(const char* path);
int llapi_hsm_unregister_event_fifo(const char* path);

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
int llapi_hsm_state_get_fd(int fd, struct hsm_user_state* hus);
int llapi_hsm_state_set(const char* path, __u64 setmask, __u64 clearmask, __u32 archive_id);
int llapi_hsm_current_action(const char* path, struct hsm_current_action* hca);

/* Makes dst a released, archived file of archive with the attributes of st,
 * for data already in the archive; its FID goes to newfid. */
int llapi_hsm_import(const char* dst, int archive, const struct stat* st, unsigned long long stripe_size,
                     int stripe_offset, int stripe_count, int stripe_pattern, char* pool_name, struct lu_fid* newfid);

/* ---- File identifiers and file systems ---- */

/* Reads "[seq:oid:ver]" (brackets optional, strtoull base 0 fields);
 * *endptr, when given, points after what was read. */
int llapi_fid_parse(const char* fidstr, struct lu_fid* fid, char** endptr);
int llapi_fid2path_at(int mnt_fd, const struct lu_fid* fid, char* path, int pathlen, long long* recno, int* linkno);

int llapi_search_fsname(const char* pathname, char* fsname);
int llapi_fid2path(const char* device, const char* fidstr, char* path, int pathlen, long long* recno, int* linkno);
int llapi_path2fid(const char* path, struct lu_fid* fid);
int llapi_get_mdt_index_by_fid(int fd, const struct lu_fid* fid, int* mdt_index);
int llapi_file_fget_mdtidx(int fd, int* mdtidx);
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

/* ---- Sizes ---- */

/* Reads a size with an optional k, M, G, T, P, E or b suffix; *size_units
 * is the unit without a suffix. Returns 0, or -1 for bad text. */
int llapi_parse_size(const char* optarg, unsigned long long* size, unsigned long long* size_units, int bytes_spec);

#ifdef __cplusplus
}
#endif

#endif /* LUSTRE_SIM_LUSTREAPI_H */
