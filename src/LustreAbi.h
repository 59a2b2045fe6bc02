// What this library relies on in Lustre's published header: the types of the
// fifteen entry points it binds, and the x86-64 layouts of the records it
// builds and reads. Building against a lustre/lustreapi.h whose layouts
// differ fails here rather than corrupting requests at run time.
#pragma once
#include <lustre/lustreapi.h>

#include <cstddef>

// The entry points, in the order of the binding table; each type is the one
// Lustre's header declares.
using llapi_hsm_copytool_register_t = decltype(&::llapi_hsm_copytool_register);
using llapi_hsm_copytool_unregister_t = decltype(&::llapi_hsm_copytool_unregister);
using llapi_hsm_copytool_recv_t = decltype(&::llapi_hsm_copytool_recv);
using llapi_hsm_action_begin_t = decltype(&::llapi_hsm_action_begin);
using llapi_hsm_action_end_t = decltype(&::llapi_hsm_action_end);
using llapi_hsm_action_progress_t = decltype(&::llapi_hsm_action_progress);
using llapi_hsm_action_get_fd_t = decltype(&::llapi_hsm_action_get_fd);
using llapi_hsm_action_get_dfid_t = decltype(&::llapi_hsm_action_get_dfid);
using llapi_hsm_user_request_alloc_t = decltype(&::llapi_hsm_user_request_alloc);
using llapi_hsm_request_t = decltype(&::llapi_hsm_request);
using llapi_search_fsname_t = decltype(&::llapi_search_fsname);
using llapi_fid2path_t = decltype(&::llapi_fid2path);
using llapi_path2fid_t = decltype(&::llapi_path2fid);
using llapi_get_mdt_index_by_fid_t = decltype(&::llapi_get_mdt_index_by_fid);
using llapi_fd2fid_t = decltype(&::llapi_fd2fid);
// Bound when the library has them (Lustre 2.10 and later all do).
using llapi_hsm_state_get_t = decltype(&::llapi_hsm_state_get);
using llapi_hsm_state_set_t = decltype(&::llapi_hsm_state_set);
using llapi_hsm_current_action_t = decltype(&::llapi_hsm_current_action);
// The changelog reader's calls, bound when the library has them (get_fd from
// Lustre 2.10, set_xflags from 2.11).
using llapi_changelog_start_t = decltype(&::llapi_changelog_start);
using llapi_changelog_recv_t = decltype(&::llapi_changelog_recv);
using llapi_changelog_free_t = decltype(&::llapi_changelog_free);
using llapi_changelog_fini_t = decltype(&::llapi_changelog_fini);
using llapi_changelog_get_fd_t = decltype(&::llapi_changelog_get_fd);
using llapi_changelog_set_xflags_t = decltype(&::llapi_changelog_set_xflags);
using llapi_changelog_clear_t = decltype(&::llapi_changelog_clear);

// Sizes and offsets (x86-64). lu_fid's alignment is not pinned: it is 8 up
// to Lustre 2.12 and 1 (packed) from 2.14, and nothing here depends on it.
static_assert(sizeof(lu_fid) == 16, "lu_fid");
static_assert(offsetof(lu_fid, f_seq) == 0 && offsetof(lu_fid, f_oid) == 8 && offsetof(lu_fid, f_ver) == 12,
              "lu_fid offsets");
static_assert(sizeof(hsm_extent) == 16 && offsetof(hsm_extent, length) == 8, "hsm_extent");
static_assert(sizeof(hsm_request) == 24, "hsm_request");
static_assert(offsetof(hsm_request, hr_action) == 0 && offsetof(hsm_request, hr_archive_id) == 4 &&
                  offsetof(hsm_request, hr_flags) == 8 && offsetof(hsm_request, hr_itemcount) == 16 &&
                  offsetof(hsm_request, hr_data_len) == 20,
              "hsm_request offsets");
static_assert(sizeof(hsm_user_item) == 32 && offsetof(hsm_user_item, hui_extent) == 16, "hsm_user_item");
static_assert(sizeof(hsm_user_request) == 24 && offsetof(hsm_user_request, hur_user_item) == 24, "hsm_user_request");
// A one-item request: the FID at 24, the extent at 40 and 48, the data at 56.
static_assert(offsetof(hsm_user_request, hur_user_item) + offsetof(hsm_user_item, hui_fid) == 24 &&
                  offsetof(hsm_user_request, hur_user_item) + offsetof(hsm_user_item, hui_extent) +
                          offsetof(hsm_extent, offset) ==
                      40 &&
                  offsetof(hsm_user_request, hur_user_item) + offsetof(hsm_user_item, hui_extent) +
                          offsetof(hsm_extent, length) ==
                      48 &&
                  sizeof(hsm_user_request) + sizeof(hsm_user_item) == 56,
              "one-item request layout");
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
                  offsetof(hsm_action_list, hal_fsname) == 32,
              "hsm_action_list offsets");
static_assert(sizeof(hsm_user_state) == 32 && offsetof(hsm_user_state, hus_archive_id) == 4 &&
                  offsetof(hsm_user_state, hus_in_progress_state) == 8 &&
                  offsetof(hsm_user_state, hus_in_progress_action) == 12 &&
                  offsetof(hsm_user_state, hus_in_progress_location) == 16,
              "hsm_user_state");
static_assert(sizeof(hsm_current_action) == 24 && offsetof(hsm_current_action, hca_action) == 4 &&
                  offsetof(hsm_current_action, hca_location) == 8,
              "hsm_current_action");
// Changelog records as llapi_changelog_recv hands them out.
static_assert(sizeof(changelog_rec) == 64 && offsetof(changelog_rec, cr_flags) == 2 &&
                  offsetof(changelog_rec, cr_type) == 4 && offsetof(changelog_rec, cr_index) == 8 &&
                  offsetof(changelog_rec, cr_time) == 24 && offsetof(changelog_rec, cr_tfid) == 32 &&
                  offsetof(changelog_rec, cr_pfid) == 48,
              "changelog_rec");
// With every part present the name starts at 436.
static_assert(sizeof(changelog_ext_rename) + sizeof(changelog_ext_jobid) + sizeof(changelog_ext_extra_flags) +
                      sizeof(changelog_ext_uidgid) + sizeof(changelog_ext_nid) + sizeof(changelog_ext_openmode) +
                      sizeof(changelog_ext_xattr) ==
                  436 - 64,
              "changelog record parts");
static_assert(CLF_JOBID == 0x4000 && CLF_EXTRA_FLAGS == 0x8000 && CLF_RENAME == 0x2000 && CLFE_SUPPORTED == 0xf,
              "changelog record flags");
// The action codes the library hands on unchanged.
static_assert(HUA_ARCHIVE == 10 && HUA_RESTORE == 11 && HUA_RELEASE == 12, "hsm_user_action");
