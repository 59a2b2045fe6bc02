/* Names policy engines and changelog consumers take from Lustre's headers,
 * through the paths they include, with Lustre's values on x86-64, compiled
 * as C: a wrong value fails the build, a wrong helper the test that calls
 * client_headers_decode. */
#include <lustre/lustre_user.h>
#include <linux/lnet/nidstr.h>
#include <lustre/lustreapi.h>

_Static_assert(PATH_MAX == 4096, "PATH_MAX reaches lustre_user.h's includers");
_Static_assert(sizeof(struct obd_uuid) == 40, "obd_uuid");
_Static_assert(sizeof(struct lov_user_mds_data_v1) == sizeof(struct stat) + 32, "lov_user_mds_data_v1, packed");
_Static_assert(LL_STATFS_LMV == 1 && LL_STATFS_LOV == 2 && LL_STATFS_NODELAY == 4, "statfs flags");
_Static_assert(IOC_MDC_GETFILESTRIPE == 0xc0086915u && IOC_MDC_GETFILEINFO == 0xc0086916u, "MDC ioctls");
_Static_assert(FS_IOC_FSGETXATTR == 0x801c581fu && sizeof(struct fsxattr) == 28, "linux/fs.h");
_Static_assert(HE_ARCHIVE == 0 && HE_STATE == 5 && HE_SPARE2 == 7, "hsm_event");
_Static_assert(CLF_HSM_DIRTY == 1 && CLF_HSM_MAXERROR == 0x7e && CLF_HSM_ERROVERFLOW == 0x7f, "HSM record flags");
_Static_assert(LNET_NIDSTR_SIZE == 64 && SOCKLND == 2 && O2IBLND == 5 && LOLND == 9, "nidstr.h");

/* An HSM record's flags as Lustre's coordinator packs them: a RESTORE
 * that failed with error 5 on a dirty file. */
int client_headers_decode(void)
{
    enum changelog_rec_flags flags = (enum changelog_rec_flags)0;
    struct lu_fid zero = {0, 0, 0};
    struct hsm_user_request hur;
    hsm_set_cl_event(&flags, HE_RESTORE);
    hsm_set_cl_error(&flags, 5);
    hsm_set_cl_flags(&flags, CLF_HSM_DIRTY);
    hur.hur_request.hr_itemcount = 1;
    return flags == 0x485 && hsm_get_cl_event(flags) == HE_RESTORE && hsm_get_cl_error(flags) == 5 &&
           hsm_get_cl_flags(flags) == CLF_HSM_DIRTY && fid_is_zero(&zero) &&
           (char*)hur_data(&hur) == (char*)&hur.hur_user_item[1];
}
