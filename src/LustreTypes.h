// Lustre's published user-space types (__u64 is unsigned long long, __u32
// unsigned int, as in Lustre's own headers) and the prototypes of the fifteen
// liblustreapi entry points this library binds, written from Lustre's
// published layouts (x86-64). Global scope and Lustre's own names, so that
// code written against lustre/lustreapi.h reads the same.
#pragma once
#include <stddef.h>
#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

struct lu_fid {
    unsigned long long f_seq;
    unsigned int f_oid;
    unsigned int f_ver;
};

struct hsm_extent {
    unsigned long long offset;
    unsigned long long length;
} __attribute__((packed));

struct hsm_request {
    unsigned int hr_action;      // enum hsm_user_action
    unsigned int hr_archive_id;
    unsigned long long hr_flags;       // HSM_FORCE_ACTION, HSM_GHOST_COPY
    unsigned int hr_itemcount;
    unsigned int hr_data_len;
};

struct hsm_user_item {
    struct lu_fid     hui_fid;
    struct hsm_extent hui_extent;
} __attribute__((packed));

struct hsm_user_request {
    struct hsm_request   hur_request;
    struct hsm_user_item hur_user_item[];
    // hr_data_len bytes of opaque data follow the items
} __attribute__((packed));

struct hsm_action_item {
    unsigned int          hai_len;     // whole item, data included
    unsigned int          hai_action;  // enum hsm_copytool_action
    struct lu_fid     hai_fid;
    struct lu_fid     hai_dfid;
    struct hsm_extent hai_extent;
    unsigned long long          hai_cookie;
    unsigned long long          hai_gid;
    char              hai_data[];
} __attribute__((packed));

struct hsm_action_list {
    unsigned int hal_version;       // HAL_VERSION
    unsigned int hal_count;
    unsigned long long hal_compound_id;
    unsigned long long hal_flags;
    unsigned int hal_archive_id;
    unsigned int padding1;
    char     hal_fsname[];      // NUL-terminated; items follow at an 8-byte boundary
} __attribute__((packed));

// Opaque handles: only liblustreapi creates and reads them.
struct hsm_copytool_private;
struct hsm_copyaction_private;

enum hsm_user_action {
    HUA_NONE    = 1,
    HUA_ARCHIVE = 10,
    HUA_RESTORE = 11,
    HUA_RELEASE = 12,
    HUA_REMOVE  = 13,
    HUA_CANCEL  = 14,
};

enum hsm_copytool_action {
    HSMA_NONE    = 10,
    HSMA_ARCHIVE = 20,
    HSMA_RESTORE = 21,
    HSMA_REMOVE  = 22,
    HSMA_CANCEL  = 23,
};

enum { HSM_FORCE_ACTION = 0x1, HSM_GHOST_COPY = 0x2 };
enum { HP_FLAG_COMPLETED = 0x1, HP_FLAG_RETRY = 0x2 };
enum { HAL_VERSION = 1, HAL_MAXSIZE = 1 << 20, LUSTRE_MAXFSNAME = 8 };

// Size of a request with itemcount items and data_len bytes of data.
static inline size_t hur_len_for(int itemcount, int data_len)
{
    return sizeof(struct hsm_user_request) + (size_t)itemcount * sizeof(struct hsm_user_item) + (size_t)data_len;
}

// Walking an action list: the first item starts after the file-system name
// rounded up to 8 bytes, each next one after the previous item's length
// rounded up to 8 bytes.
static inline size_t hal_align8(size_t n) { return (n + 7) & ~(size_t)7; }

// The fifteen entry points, in the order of the binding table.
typedef int (*llapi_hsm_copytool_register_t)(struct hsm_copytool_private** priv, const char* mnt,
                                             int archive_count, int* archives, int rfd_flags);
typedef int (*llapi_hsm_copytool_unregister_t)(struct hsm_copytool_private** priv);
typedef int (*llapi_hsm_copytool_recv_t)(struct hsm_copytool_private* priv, struct hsm_action_list** hal,
                                         int* msgsize);
typedef int (*llapi_hsm_action_begin_t)(struct hsm_copyaction_private** phcp,
                                        const struct hsm_copytool_private* ct,
                                        const struct hsm_action_item* hai, int restore_mdt_index,
                                        int restore_open_flags, bool is_error);
typedef int (*llapi_hsm_action_end_t)(struct hsm_copyaction_private** phcp, const struct hsm_extent* he,
                                      int hp_flags, int errval);
typedef int (*llapi_hsm_action_progress_t)(struct hsm_copyaction_private* hcp, const struct hsm_extent* he,
                                           unsigned long long total, int hp_flags);
typedef int (*llapi_hsm_action_get_fd_t)(const struct hsm_copyaction_private* hcp);
typedef int (*llapi_hsm_action_get_dfid_t)(const struct hsm_copyaction_private* hcp, struct lu_fid* fid);
typedef struct hsm_user_request* (*llapi_hsm_user_request_alloc_t)(int itemcount, int data_len);
typedef int (*llapi_hsm_request_t)(const char* path, const struct hsm_user_request* request);
typedef int (*llapi_search_fsname_t)(const char* pathname, char* fsname);
typedef int (*llapi_fid2path_t)(const char* device, const char* fidstr, char* path, int pathlen,
                                long long* recno, int* linkno);
typedef int (*llapi_path2fid_t)(const char* path, struct lu_fid* fid);
typedef int (*llapi_get_mdt_index_by_fid_t)(int fd, const struct lu_fid* fid, int* mdt_index);
typedef int (*llapi_fd2fid_t)(int fd, struct lu_fid* fid);

#ifdef __cplusplus
}  // extern "C"

// Layouts pinned to Lustre's published x86-64 ABI.
static_assert(sizeof(lu_fid) == 16 && alignof(lu_fid) == 8, "lu_fid");
static_assert(offsetof(lu_fid, f_seq) == 0 && offsetof(lu_fid, f_oid) == 8 && offsetof(lu_fid, f_ver) == 12,
              "lu_fid offsets");
static_assert(sizeof(hsm_extent) == 16 && offsetof(hsm_extent, length) == 8, "hsm_extent");
static_assert(sizeof(hsm_request) == 24, "hsm_request");
static_assert(offsetof(hsm_request, hr_action) == 0 && offsetof(hsm_request, hr_archive_id) == 4 &&
              offsetof(hsm_request, hr_flags) == 8 && offsetof(hsm_request, hr_itemcount) == 16 &&
              offsetof(hsm_request, hr_data_len) == 20, "hsm_request offsets");
static_assert(sizeof(hsm_user_item) == 32 && offsetof(hsm_user_item, hui_extent) == 16, "hsm_user_item");
static_assert(sizeof(hsm_user_request) == 24 && offsetof(hsm_user_request, hur_user_item) == 24,
              "hsm_user_request");
// A one-item request: the FID at 24, the extent at 40 and 48, the data at 56.
static_assert(offsetof(hsm_user_request, hur_user_item) + offsetof(hsm_user_item, hui_fid) == 24 &&
              offsetof(hsm_user_request, hur_user_item) + offsetof(hsm_user_item, hui_extent) +
              offsetof(hsm_extent, offset) == 40 &&
              offsetof(hsm_user_request, hur_user_item) + offsetof(hsm_user_item, hui_extent) +
              offsetof(hsm_extent, length) == 48 &&
              sizeof(hsm_user_request) + sizeof(hsm_user_item) == 56, "one-item request layout");
static_assert(sizeof(hsm_action_item) == 72, "hsm_action_item");
static_assert(offsetof(hsm_action_item, hai_len) == 0 && offsetof(hsm_action_item, hai_action) == 4 &&
              offsetof(hsm_action_item, hai_fid) == 8 && offsetof(hsm_action_item, hai_dfid) == 24 &&
              offsetof(hsm_action_item, hai_extent) == 40 && offsetof(hsm_action_item, hai_cookie) == 56 &&
              offsetof(hsm_action_item, hai_gid) == 64 && offsetof(hsm_action_item, hai_data) == 72,
              "hsm_action_item offsets");
static_assert(sizeof(hsm_action_list) == 32, "hsm_action_list");
static_assert(offsetof(hsm_action_list, hal_version) == 0 && offsetof(hsm_action_list, hal_count) == 4 &&
              offsetof(hsm_action_list, hal_compound_id) == 8 && offsetof(hsm_action_list, hal_flags) == 16 &&
              offsetof(hsm_action_list, hal_archive_id) == 24 && offsetof(hsm_action_list, padding1) == 28 &&
              offsetof(hsm_action_list, hal_fsname) == 32, "hsm_action_list offsets");
#endif
