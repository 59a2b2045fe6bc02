/* The Lustre stand-in's user-space types, under the path and the names of
 * Lustre's own lustre_user.h: file identifiers, HSM requests, action lists
 * and states, with the layouts Lustre publishes for x86-64 (lu_fid packed,
 * as from Lustre 2.14). Written for C and C++; code written against Lustre's
 * header compiles against this one unchanged.
 *
 * This folder stands in for Lustre's headers only where Lustre's development
 * files are not installed; it is never on the compiler's default search path.
 */
#ifndef LUSTRE_SIM_LUSTRE_USER_H
#define LUSTRE_SIM_LUSTRE_USER_H

#include <linux/types.h>
#include <stddef.h>
#include <string.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- File identifiers ---- */

struct lu_fid {
    __u64 f_seq; /* sequence */
    __u32 f_oid; /* object within the sequence */
    __u32 f_ver; /* version */
} __attribute__((packed));

/* Text form: "[0x200000400:0x1c:0x0]"; a zero sequence prints as "0". */
#define DFID_NOBRACE "%#llx:0x%x:0x%x"
#define DFID "[" DFID_NOBRACE "]"
#define PFID(fid) (unsigned long long)(fid)->f_seq, (fid)->f_oid, (fid)->f_ver
/* For scanf: SFID and RFID(fid). */
#define SFID "0x%llx:0x%x:0x%x"
#define RFID(fid) &((fid)->f_seq), &((fid)->f_oid), &((fid)->f_ver)
#define FID_NOBRACE_LEN 40
#define FID_LEN (FID_NOBRACE_LEN + 2)

#define LUSTRE_MAXFSNAME 8
#define LUSTRE_EOF 0xffffffffffffffffULL

/* ---- HSM requests (llapi_hsm_request) ---- */

struct hsm_extent {
    __u64 offset;
    __u64 length;
} __attribute__((packed));

enum hsm_user_action {
    HUA_NONE = 1,
    HUA_ARCHIVE = 10,
    HUA_RESTORE = 11,
    HUA_RELEASE = 12,
    HUA_REMOVE = 13,
    HUA_CANCEL = 14,
};

/* hr_flags */
#define HSM_FORCE_ACTION 0x0001
#define HSM_GHOST_COPY 0x0002 /* for the copytool only */

struct hsm_request {
    __u32 hr_action; /* enum hsm_user_action */
    __u32 hr_archive_id;
    __u64 hr_flags;
    __u32 hr_itemcount;
    __u32 hr_data_len;
};

struct hsm_user_item {
    struct lu_fid hui_fid;
    struct hsm_extent hui_extent;
} __attribute__((packed));

/* hr_itemcount items, then hr_data_len bytes of opaque data. */
struct hsm_user_request {
    struct hsm_request hur_request;
    struct hsm_user_item hur_user_item[];
} __attribute__((packed));

/* The size of a request with its items and data. */
static inline ssize_t hur_len(struct hsm_user_request* hur)
{
    return (ssize_t)(sizeof(*hur) + (size_t)hur->hur_request.hr_itemcount * sizeof(struct hsm_user_item) +
                     hur->hur_request.hr_data_len);
}

/* ---- Copytool action lists (llapi_hsm_copytool_recv) ---- */

enum hsm_copytool_action {
    HSMA_NONE = 10,
    HSMA_ARCHIVE = 20,
    HSMA_RESTORE = 21,
    HSMA_REMOVE = 22,
    HSMA_CANCEL = 23,
};

enum hsm_message_type {
    HMT_ACTION_LIST = 100,
};

/* hp_flags of llapi_hsm_action_progress and llapi_hsm_action_end */
#define HP_FLAG_COMPLETED 0x01
#define HP_FLAG_RETRY 0x02

struct hsm_action_item {
    __u32 hai_len;    /* the whole item, data included */
    __u32 hai_action; /* enum hsm_copytool_action */
    struct lu_fid hai_fid;
    struct lu_fid hai_dfid;
    struct hsm_extent hai_extent;
    __u64 hai_cookie;
    __u64 hai_gid;
    char hai_data[];
} __attribute__((packed));

#define HAL_VERSION 1
#define HAL_MAXSIZE (1 << 20) /* a copytool's receive buffer */

/* The file-system name, NUL-terminated, then hal_count items, each at an
 * 8-byte boundary. */
struct hsm_action_list {
    __u32 hal_version; /* HAL_VERSION */
    __u32 hal_count;
    __u64 hal_compound_id;
    __u64 hal_flags;
    __u32 hal_archive_id;
    __u32 padding1;
    char hal_fsname[];
} __attribute__((packed));

/* The first item: after the name, rounded up to 8 bytes. */
static inline struct hsm_action_item* hai_first(struct hsm_action_list* hal)
{
    size_t offset = (strlen(hal->hal_fsname) + 1 + 7) & ~(size_t)7;

    return (struct hsm_action_item*)(hal->hal_fsname + offset);
}

/* The next item: after this one's length, rounded up to 8 bytes. */
static inline struct hsm_action_item* hai_next(struct hsm_action_item* hai)
{
    size_t offset = ((size_t)hai->hai_len + 7) & ~(size_t)7;

    return (struct hsm_action_item*)((char*)hai + offset);
}

/* The size of a whole list, its items included. */
static inline size_t hal_size(struct hsm_action_list* hal)
{
    struct hsm_action_item* hai = hai_first(hal);
    size_t size = (size_t)((char*)hai - (char*)hal);
    __u32 i;

    for (i = 0; i < hal->hal_count; i++, hai = hai_next(hai)) size += ((size_t)hai->hai_len + 7) & ~(size_t)7;
    return size;
}

/* ---- HSM state of a file (llapi_hsm_state_get/set, llapi_hsm_current_action) ---- */

enum hsm_states {
    HS_NONE = 0x00000000,
    HS_EXISTS = 0x00000001,
    HS_DIRTY = 0x00000002,
    HS_RELEASED = 0x00000004,
    HS_ARCHIVED = 0x00000008,
    HS_NORELEASE = 0x00000010,
    HS_NOARCHIVE = 0x00000020,
    HS_LOST = 0x00000040,
};

/* What a user may change without privilege, and what only HSM sets. */
#define HSM_USER_MASK (HS_NORELEASE | HS_NOARCHIVE | HS_DIRTY)
#define HSM_STATUS_MASK (HS_EXISTS | HS_LOST | HS_RELEASED | HS_ARCHIVED)
#define HSM_FLAGS_MASK (HSM_USER_MASK | HSM_STATUS_MASK)

enum hsm_progress_states {
    HPS_NONE = 0,
    HPS_WAITING = 1,
    HPS_RUNNING = 2,
    HPS_DONE = 3,
};

struct hsm_user_state {
    __u32 hus_states; /* enum hsm_states */
    __u32 hus_archive_id;
    __u32 hus_in_progress_state;  /* enum hsm_progress_states */
    __u32 hus_in_progress_action; /* enum hsm_user_action */
    struct hsm_extent hus_in_progress_location;
    char hus_extended_info[];
};

struct hsm_current_action {
    __u32 hca_state;  /* enum hsm_progress_states */
    __u32 hca_action; /* enum hsm_user_action */
    struct hsm_extent hca_location;
};

static inline const char* hsm_progress_state2name(enum hsm_progress_states s)
{
    switch (s) {
    case HPS_WAITING:
        return "waiting";
    case HPS_RUNNING:
        return "running";
    case HPS_DONE:
        return "done";
    default:
        return "unknown";
    }
}

static inline const char* hsm_user_action2name(enum hsm_user_action a)
{
    switch (a) {
    case HUA_NONE:
        return "NOOP";
    case HUA_ARCHIVE:
        return "ARCHIVE";
    case HUA_RESTORE:
        return "RESTORE";
    case HUA_RELEASE:
        return "RELEASE";
    case HUA_REMOVE:
        return "REMOVE";
    case HUA_CANCEL:
        return "CANCEL";
    default:
        return "UNKNOWN";
    }
}

#ifdef __cplusplus
}
#endif

#endif /* LUSTRE_SIM_LUSTRE_USER_H */
