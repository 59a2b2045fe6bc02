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

/* As Lustre's header does outside the kernel, these reach every includer:
 * stdbool.h, stdio.h and sys/stat.h, glibc's ISO C99, GNU and XOPEN2K8
 * feature macros (for the headers included after this one), FILEID_LUSTRE,
 * typeof under strict ANSI, and lstat_t with lstat_f, fstat_f and
 * fstatat_f. */
#ifndef __KERNEL__
#define __USE_ISOC99 1
#include <stdbool.h>
#include <stdio.h>
#include <sys/stat.h>

#define __USE_GNU 1
#define __USE_XOPEN2K8 1
#define FILEID_LUSTRE 0x97
#endif

#include <asm/bitsperlong.h>
#include <linux/fs.h>     /* struct fsxattr, FS_IOC_FSGETXATTR */
#include <linux/limits.h> /* PATH_MAX */
#include <linux/types.h>
#include <stddef.h>
#include <string.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __STRICT_ANSI__
#define typeof __typeof__
#endif

#ifndef offsetof
#define offsetof(type, member) ((size_t)&((type*)0)->member)
#endif

/* 64-bit stat records on every machine. */
#if __BITS_PER_LONG != 64 || defined(__ARCH_WANT_STAT64)
typedef struct stat64 lstat_t;
#define lstat_f lstat64
#define fstat_f fstat64
#define fstatat_f fstatat64
#else
typedef struct stat lstat_t;
#define lstat_f lstat
#define fstat_f fstat
#define fstatat_f fstatat
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
static inline bool fid_is_zero(const struct lu_fid* fid) { return fid->f_seq == 0 && fid->f_oid == 0; }

#define SFID "0x%llx:0x%x:0x%x"
#define RFID(fid) &((fid)->f_seq), &((fid)->f_oid), &((fid)->f_ver)
#define FID_NOBRACE_LEN 40
#define FID_LEN (FID_NOBRACE_LEN + 2)

#define LUSTRE_MAXFSNAME 8
#define LUSTRE_EOF 0xffffffffffffffffULL
#define MAX_OBD_NAME 128

/* The hidden directory at a mount's root; ".lustre/fid/<FID>" opens a file
 * by FID. */
#define dot_lustre_name ".lustre"

/* ---- Layouts (striping) ---- */

/* An open flag that creates a file without objects, so that its layout can
 * be set afterwards; the includer includes fcntl.h first. */
#define O_LOV_DELAY_CREATE_1_8 0100000000
#define O_LOV_DELAY_CREATE_MASK (O_NOCTTY | FASYNC)
#define O_LOV_DELAY_CREATE (O_LOV_DELAY_CREATE_1_8 | O_LOV_DELAY_CREATE_MASK)

#define XATTR_LUSTRE_PREFIX "lustre."
#define XATTR_LUSTRE_LOV XATTR_LUSTRE_PREFIX "lov"

#define LOV_USER_MAGIC_V1 0x0BD10BD0
#define LOV_USER_MAGIC LOV_USER_MAGIC_V1
#define LOV_USER_MAGIC_V3 0x0BD30BD0

#define LOV_PATTERN_NONE 0x000
#define LOV_PATTERN_RAID0 0x001
#define LOV_PATTERN_F_RELEASED 0x80000000 /* the file's data is in an archive */

#define LOV_MAXPOOLNAME 15

/* An object's identifier on an OST: an id and a sequence, or a FID. */
__extension__ struct ost_id {
    union {
        struct {
            __u64 oi_id;
            __u64 oi_seq;
        } oi;
        struct lu_fid oi_fid;
    };
} __attribute__((packed));

struct lov_user_ost_data_v1 {
    struct ost_id l_ost_oi;
    __u32 l_ost_gen;
    __u32 l_ost_idx; /* the OST's index */
} __attribute__((packed));

/* A plain layout as lustre.lov holds it; lmm_stripe_offset -1 lets the
 * file system choose the first OST. */
struct lov_user_md_v1 {
    __u32 lmm_magic; /* LOV_USER_MAGIC_V1 */
    __u32 lmm_pattern;
    struct ost_id lmm_oi;
    __u32 lmm_stripe_size;
    __u16 lmm_stripe_count;
    __extension__ union {
        __u16 lmm_stripe_offset;
        __u16 lmm_layout_gen;
    };
    __extension__ struct lov_user_ost_data_v1 lmm_objects[];
} __attribute__((packed));

/* The same with the name of an OST pool. */
struct lov_user_md_v3 {
    __u32 lmm_magic; /* LOV_USER_MAGIC_V3 */
    __u32 lmm_pattern;
    struct ost_id lmm_oi;
    __u32 lmm_stripe_size;
    __u16 lmm_stripe_count;
    __extension__ union {
        __u16 lmm_stripe_offset;
        __u16 lmm_layout_gen;
    };
    char lmm_pool_name[LOV_MAXPOOLNAME + 1];
    __extension__ struct lov_user_ost_data_v1 lmm_objects[];
} __attribute__((packed));

#define lov_user_md lov_user_md_v1

/* What a stat of a file and its layout hold together (IOC_MDC_GETFILEINFO). */
struct lov_user_mds_data_v1 {
    lstat_t lmd_st;
    struct lov_user_md_v1 lmd_lmm;
} __attribute__((packed));

#define UUID_MAX 40
struct obd_uuid {
    char uuid[UUID_MAX];
};

/* The targets llapi_obd_statfs asks. */
#define LL_STATFS_LMV 1
#define LL_STATFS_LOV 2
#define LL_STATFS_NODELAY 4

#define IOC_MDC_TYPE 'i'
#define IOC_MDC_GETFILESTRIPE _IOWR(IOC_MDC_TYPE, 21, struct lov_user_md*)
#define IOC_MDC_GETFILEINFO_V1 _IOWR(IOC_MDC_TYPE, 22, struct lov_user_mds_data_v1*)
#define IOC_MDC_GETFILEINFO IOC_MDC_GETFILEINFO_V1

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

/* The data after a request's items. */
static inline void* hur_data(struct hsm_user_request* hur) { return &hur->hur_user_item[hur->hur_request.hr_itemcount]; }

/* ---- Copytool action lists (llapi_hsm_copytool_recv) ---- */

enum hsm_copytool_action {
    HSMA_NONE = 10,
    HSMA_ARCHIVE = 20,
    HSMA_RESTORE = 21,
    HSMA_REMOVE = 22,
    HSMA_CANCEL = 23,
};

static inline const char* hsm_copytool_action2name(enum hsm_copytool_action a)
{
    switch (a) {
    case HSMA_NONE:
        return "NOOP";
    case HSMA_ARCHIVE:
        return "ARCHIVE";
    case HSMA_RESTORE:
        return "RESTORE";
    case HSMA_REMOVE:
        return "REMOVE";
    case HSMA_CANCEL:
        return "CANCEL";
    default:
        return "UNKNOWN";
    }
}

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

/* ---- Changelog records (llapi_changelog_recv) ---- */

enum changelog_rec_type {
    CL_NONE = -1,
    CL_MARK = 0,
    CL_CREATE = 1,
    CL_MKDIR = 2,
    CL_HARDLINK = 3,
    CL_SOFTLINK = 4,
    CL_MKNOD = 5,
    CL_UNLINK = 6,
    CL_RMDIR = 7,
    CL_RENAME = 8,
    CL_EXT = 9,
    CL_OPEN = 10,
    CL_CLOSE = 11,
    CL_LAYOUT = 12,
    CL_TRUNC = 13,
    CL_SETATTR = 14,
    CL_SETXATTR = 15,
    CL_XATTR = CL_SETXATTR,
    CL_HSM = 16,
    CL_MTIME = 17,
    CL_CTIME = 18,
    CL_ATIME = 19,
    CL_MIGRATE = 20,
    CL_FLRW = 21,
    CL_RESYNC = 22,
    CL_GETXATTR = 23,
    CL_DN_OPEN = 24,
    CL_LAST
};

/* The short names lfs prints after the type number; NULL outside the table. */
static inline const char* changelog_type2str(int type)
{
    static const char* const names[CL_LAST] = {"MARK",  "CREAT", "MKDIR", "HLINK", "SLINK", "MKNOD", "UNLNK",
                                               "RMDIR", "RENME", "RNMTO", "OPEN",  "CLOSE", "LYOUT", "TRUNC",
                                               "SATTR", "XATTR", "HSM",   "MTIME", "CTIME", "ATIME", "MIGRT",
                                               "FLRW",  "RESYNC", "GXATR", "NOPEN"};
    return type >= 0 && type < CL_LAST ? names[type] : NULL;
}

/* cr_flags: the low 12 bits belong to the record type, the high 4 say which
 * parts follow the fixed record. */
enum changelog_rec_flags {
    CLF_VERSION = 0x1000,
    CLF_RENAME = 0x2000,
    CLF_JOBID = 0x4000,
    CLF_EXTRA_FLAGS = 0x8000,
    CLF_SUPPORTED = CLF_VERSION | CLF_RENAME | CLF_JOBID | CLF_EXTRA_FLAGS,
    CLF_FLAGMASK = 0x0fff,
    CLF_FLAGSHIFT = 12
};

/* Low bits of UNLNK and RENME records. */
#define CLF_UNLINK_LAST 0x0001
#define CLF_UNLINK_HSM_EXISTS 0x0002
#define CLF_RENAME_LAST 0x0001
#define CLF_RENAME_LAST_EXISTS 0x0002

/* An HSM record's flags: bits 0-6 the error, 7-9 the event, 10-11 flags. */
#define CLF_HSM_ERR_L 0
#define CLF_HSM_ERR_H 6
#define CLF_HSM_EVENT_L 7
#define CLF_HSM_EVENT_H 9
#define CLF_HSM_FLAG_L 10
#define CLF_HSM_FLAG_H 11
#define CLF_HSM_SPARE_L 12
#define CLF_HSM_SPARE_H 15
#define CLF_HSM_LAST 15
/* Bits _l to _h of _b, shifted down to bit 0. */
#define CLF_GET_BITS(_b, _h, _l) ((((_b) << (CLF_HSM_LAST - (_h))) & 0xFFFF) >> (CLF_HSM_LAST - (_h) + (_l)))
#define CLF_HSM_SUCCESS 0x00
#define CLF_HSM_MAXERROR 0x7E
#define CLF_HSM_ERROVERFLOW 0x7F
#define CLF_HSM_DIRTY 1 /* the file is dirty once the request ended */

enum hsm_event {
    HE_ARCHIVE = 0,
    HE_RESTORE = 1,
    HE_CANCEL = 2,
    HE_RELEASE = 3,
    HE_REMOVE = 4,
    HE_STATE = 5,
    HE_SPARE1 = 6,
    HE_SPARE2 = 7,
};

static inline enum hsm_event hsm_get_cl_event(__u16 flags)
{
    return (enum hsm_event)CLF_GET_BITS(flags, CLF_HSM_EVENT_H, CLF_HSM_EVENT_L);
}

static inline void hsm_set_cl_event(enum changelog_rec_flags* clf_flags, enum hsm_event he)
{
    *clf_flags = (enum changelog_rec_flags)(*clf_flags | (he << CLF_HSM_EVENT_L));
}

static inline __u16 hsm_get_cl_flags(enum changelog_rec_flags clf_flags)
{
    return CLF_GET_BITS(clf_flags, CLF_HSM_FLAG_H, CLF_HSM_FLAG_L);
}

static inline void hsm_set_cl_flags(enum changelog_rec_flags* clf_flags, unsigned int bits)
{
    *clf_flags = (enum changelog_rec_flags)(*clf_flags | (bits << CLF_HSM_FLAG_L));
}

static inline int hsm_get_cl_error(enum changelog_rec_flags clf_flags)
{
    return CLF_GET_BITS(clf_flags, CLF_HSM_ERR_H, CLF_HSM_ERR_L);
}

static inline void hsm_set_cl_error(enum changelog_rec_flags* clf_flags, unsigned int error)
{
    *clf_flags = (enum changelog_rec_flags)(*clf_flags | (error << CLF_HSM_ERR_L));
}

/* cr_extra_flags: which of the optional parts after the extra-flags word the
 * record holds. */
enum changelog_rec_extra_flags {
    CLFE_INVALID = 0,
    CLFE_UIDGID = 0x0001,
    CLFE_NID = 0x0002,
    CLFE_OPEN = 0x0004,
    CLFE_XATTR = 0x0008,
    CLFE_SUPPORTED = CLFE_UIDGID | CLFE_NID | CLFE_OPEN | CLFE_XATTR
};

/* What llapi_changelog_start asks of the reader. */
enum changelog_send_flag {
    CHANGELOG_FLAG_FOLLOW = 0x01,      /* wait for new records at the end */
    CHANGELOG_FLAG_BLOCK = 0x02,       /* ignored */
    CHANGELOG_FLAG_JOBID = 0x04,       /* records carry the jobid part */
    CHANGELOG_FLAG_EXTRA_FLAGS = 0x08, /* records carry the extra-flags word */
};

/* What llapi_changelog_set_xflags asks for after the extra-flags word. */
enum changelog_send_extra_flag {
    CHANGELOG_EXTRA_FLAG_UIDGID = 0x01,
    CHANGELOG_EXTRA_FLAG_NID = 0x02,
    CHANGELOG_EXTRA_FLAG_OMODE = 0x04,
    CHANGELOG_EXTRA_FLAG_XATTR = 0x08,
};

#define LUSTRE_JOBID_SIZE 32
#ifndef XATTR_NAME_MAX
#define XATTR_NAME_MAX 255
#endif

/* The fixed part of every record. cr_time is (seconds << 30) + nanoseconds.
 * MARK records keep their flags in cr_markerflags, over the target's
 * sequence. */
struct changelog_rec {
    __u16 cr_namelen;
    __u16 cr_flags;
    __u32 cr_type;
    __u64 cr_index;
    __u64 cr_prev;
    __u64 cr_time;
    union {
        struct lu_fid cr_tfid;
        __u32 cr_markerflags;
    };
    struct lu_fid cr_pfid;
} __attribute__((packed));

struct changelog_ext_rename {
    struct lu_fid cr_sfid;  /* the file renamed */
    struct lu_fid cr_spfid; /* the directory it left */
};

struct changelog_ext_jobid {
    char cr_jobid[LUSTRE_JOBID_SIZE];
};

struct changelog_ext_extra_flags {
    __u64 cr_extra_flags;
};

struct changelog_ext_uidgid {
    __u64 cr_uid;
    __u64 cr_gid;
};

struct changelog_ext_nid {
    __u64 cr_nid;
    __u64 extra;
    __u32 padding;
};

struct changelog_ext_openmode {
    __u32 cr_openflags;
};

struct changelog_ext_xattr {
    char cr_xattr[XATTR_NAME_MAX + 1];
};

/* Where a part starts for a record holding the parts in crf and cref: the
 * fixed record, then rename, jobid, extra flags, uid/gid, nid, open mode and
 * xattr, each when present, and the name last. */
static inline size_t changelog_rec_offset(enum changelog_rec_flags crf, enum changelog_rec_extra_flags cref)
{
    size_t size = sizeof(struct changelog_rec);
    if (crf & CLF_RENAME) size += sizeof(struct changelog_ext_rename);
    if (crf & CLF_JOBID) size += sizeof(struct changelog_ext_jobid);
    if (crf & CLF_EXTRA_FLAGS) {
        size += sizeof(struct changelog_ext_extra_flags);
        if (cref & CLFE_UIDGID) size += sizeof(struct changelog_ext_uidgid);
        if (cref & CLFE_NID) size += sizeof(struct changelog_ext_nid);
        if (cref & CLFE_OPEN) size += sizeof(struct changelog_ext_openmode);
        if (cref & CLFE_XATTR) size += sizeof(struct changelog_ext_xattr);
    }
    return size;
}

static inline struct changelog_ext_extra_flags* changelog_rec_extra_flags(const struct changelog_rec* rec)
{
    enum changelog_rec_flags crf = (enum changelog_rec_flags)(rec->cr_flags & (CLF_VERSION | CLF_RENAME | CLF_JOBID));
    return (struct changelog_ext_extra_flags*)((char*)rec + changelog_rec_offset(crf, CLFE_INVALID));
}

/* The record's extra flags, CLFE_INVALID when it has no extra-flags word. */
static inline enum changelog_rec_extra_flags changelog_rec_xflags(const struct changelog_rec* rec)
{
    if (!(rec->cr_flags & CLF_EXTRA_FLAGS)) return CLFE_INVALID;
    return (enum changelog_rec_extra_flags)(changelog_rec_extra_flags(rec)->cr_extra_flags & CLFE_SUPPORTED);
}

/* The size of the fixed record and its parts, without the name. */
static inline size_t changelog_rec_size(const struct changelog_rec* rec)
{
    return changelog_rec_offset((enum changelog_rec_flags)rec->cr_flags, changelog_rec_xflags(rec));
}

static inline size_t changelog_rec_varsize(const struct changelog_rec* rec)
{
    return changelog_rec_size(rec) - sizeof(*rec) + rec->cr_namelen;
}

static inline struct changelog_ext_rename* changelog_rec_rename(const struct changelog_rec* rec)
{
    return (struct changelog_ext_rename*)((char*)rec + changelog_rec_offset(CLF_VERSION, CLFE_INVALID));
}

static inline struct changelog_ext_jobid* changelog_rec_jobid(const struct changelog_rec* rec)
{
    enum changelog_rec_flags crf = (enum changelog_rec_flags)(rec->cr_flags & (CLF_VERSION | CLF_RENAME));
    return (struct changelog_ext_jobid*)((char*)rec + changelog_rec_offset(crf, CLFE_INVALID));
}

static inline struct changelog_ext_uidgid* changelog_rec_uidgid(const struct changelog_rec* rec)
{
    enum changelog_rec_flags crf =
        (enum changelog_rec_flags)(rec->cr_flags & (CLF_VERSION | CLF_RENAME | CLF_JOBID | CLF_EXTRA_FLAGS));
    return (struct changelog_ext_uidgid*)((char*)rec + changelog_rec_offset(crf, CLFE_INVALID));
}

static inline struct changelog_ext_nid* changelog_rec_nid(const struct changelog_rec* rec)
{
    enum changelog_rec_flags crf = (enum changelog_rec_flags)(rec->cr_flags & CLF_SUPPORTED);
    enum changelog_rec_extra_flags cref = (enum changelog_rec_extra_flags)(changelog_rec_xflags(rec) & CLFE_UIDGID);
    return (struct changelog_ext_nid*)((char*)rec + changelog_rec_offset(crf, cref));
}

static inline struct changelog_ext_openmode* changelog_rec_openmode(const struct changelog_rec* rec)
{
    enum changelog_rec_flags crf = (enum changelog_rec_flags)(rec->cr_flags & CLF_SUPPORTED);
    enum changelog_rec_extra_flags cref =
        (enum changelog_rec_extra_flags)(changelog_rec_xflags(rec) & (CLFE_UIDGID | CLFE_NID));
    return (struct changelog_ext_openmode*)((char*)rec + changelog_rec_offset(crf, cref));
}

static inline struct changelog_ext_xattr* changelog_rec_xattr(const struct changelog_rec* rec)
{
    enum changelog_rec_flags crf = (enum changelog_rec_flags)(rec->cr_flags & CLF_SUPPORTED);
    enum changelog_rec_extra_flags cref =
        (enum changelog_rec_extra_flags)(changelog_rec_xflags(rec) & (CLFE_UIDGID | CLFE_NID | CLFE_OPEN));
    return (struct changelog_ext_xattr*)((char*)rec + changelog_rec_offset(crf, cref));
}

/* cr_namelen bytes, not terminated. A rename holds "name\0sname\0" and
 * cr_namelen counts both NULs. */
static inline char* changelog_rec_name(const struct changelog_rec* rec)
{
    return (char*)rec + changelog_rec_size(rec);
}

static inline char* changelog_rec_sname(const struct changelog_rec* rec)
{
    char* name = changelog_rec_name(rec);
    char* nul = (char*)memchr(name, '\0', rec->cr_namelen);
    return nul ? nul + 1 : name + rec->cr_namelen;
}

static inline size_t changelog_rec_snamelen(const struct changelog_rec* rec)
{
    const char* sname = changelog_rec_sname(rec);
    const char* end = changelog_rec_name(rec) + rec->cr_namelen;
    return sname < end ? strnlen(sname, (size_t)(end - sname)) : 0;
}

/* The largest record: every part, and two names of 255 bytes with their NULs. */
#define CR_MAXSIZE ((2 * 255 + 2 + 436 + 7) & ~7)

/* Lays rec out again with the parts crf_wanted and cref_want name, as
 * Lustre's library does for a reader: parts kept where both layouts have
 * them, zeroed where only the new one has them, dropped otherwise; the
 * extra-flags word then holds the record's flags and the wanted ones. The
 * parts are copied out first, so no part is overwritten before it moved
 * (whatever layouts are asked). rec must have room for CR_MAXSIZE bytes. */
static inline void changelog_remap_rec(struct changelog_rec* rec, enum changelog_rec_flags crf_wanted,
                                       enum changelog_rec_extra_flags cref_want)
{
    char old[CR_MAXSIZE];
    const struct changelog_rec* o = (const struct changelog_rec*)old;
    const unsigned crf = rec->cr_flags & CLF_SUPPORTED, cref = changelog_rec_xflags(rec);
    const unsigned want = crf_wanted & CLF_SUPPORTED, xwant = cref_want & CLFE_SUPPORTED;
    size_t size = changelog_rec_size(rec) + rec->cr_namelen, at = sizeof(*rec);
    char* out = (char*)rec;

    if (crf == want && (!(crf & CLF_EXTRA_FLAGS) || cref == xwant)) return;
    memcpy(old, rec, size < sizeof(old) ? size : sizeof(old));
#define CHANGELOG_REMAP_PART(wanted, had, part, type)                   \
    if (wanted) {                                                       \
        if (had)                                                        \
            memcpy(out + at, changelog_rec_##part(o), sizeof(type));    \
        else                                                            \
            memset(out + at, 0, sizeof(type));                          \
        at += sizeof(type);                                             \
    }
    CHANGELOG_REMAP_PART(want & CLF_RENAME, crf & CLF_RENAME, rename, struct changelog_ext_rename)
    CHANGELOG_REMAP_PART(want & CLF_JOBID, crf & CLF_JOBID, jobid, struct changelog_ext_jobid)
    CHANGELOG_REMAP_PART(want & CLF_EXTRA_FLAGS, crf & CLF_EXTRA_FLAGS, extra_flags,
                         struct changelog_ext_extra_flags)
    if (want & CLF_EXTRA_FLAGS) {
        const unsigned had = crf & CLF_EXTRA_FLAGS ? cref : 0;
        CHANGELOG_REMAP_PART(xwant & CLFE_UIDGID, had & CLFE_UIDGID, uidgid, struct changelog_ext_uidgid)
        CHANGELOG_REMAP_PART(xwant & CLFE_NID, had & CLFE_NID, nid, struct changelog_ext_nid)
        CHANGELOG_REMAP_PART(xwant & CLFE_OPEN, had & CLFE_OPEN, openmode, struct changelog_ext_openmode)
        CHANGELOG_REMAP_PART(xwant & CLFE_XATTR, had & CLFE_XATTR, xattr, struct changelog_ext_xattr)
    }
#undef CHANGELOG_REMAP_PART
    memcpy(out + at, changelog_rec_name(o), o->cr_namelen);
    rec->cr_flags = (rec->cr_flags & CLF_FLAGMASK) | want;
    if (want & CLF_EXTRA_FLAGS) changelog_rec_extra_flags(rec)->cr_extra_flags |= xwant;
}

#ifdef __cplusplus
}
#endif

#endif /* LUSTRE_SIM_LUSTRE_USER_H */
