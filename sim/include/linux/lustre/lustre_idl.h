/* The Lustre stand-in's wire-protocol names, under the path of Lustre's own
 * lustre_idl.h: only those that copytools use: the FID sequence ranges,
 * the extended attribute prefixes and the size of an archive-id bitmap.
 *
 * This folder stands in for Lustre's headers only where Lustre's development
 * files are not installed; it is never on the compiler's default search path.
 */
#ifndef LUSTRE_SIM_LUSTRE_IDL_H
#define LUSTRE_SIM_LUSTRE_IDL_H

#include <linux/lustre/lustre_user.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sequence ranges of FIDs. */
#define FID_SEQ_IGIF 12                 /* inode and generation of a 1.8 file */
#define FID_SEQ_IGIF_MAX 0x0ffffffffULL /* the last IGIF sequence */
#define FID_SEQ_IDIF 0x100000000ULL
#define FID_SEQ_IDIF_MAX 0x1ffffffffULL
#define FID_SEQ_START 0x200000000ULL /* the first sequence of the FID server */
#define FID_SEQ_DOT_LUSTRE 0x200000002ULL
#define FID_SEQ_ROOT 0x200000007ULL
#define FID_SEQ_NORMAL 0x200000400ULL /* the first sequence of ordinary files */

/* Extended attribute name spaces, as linux/xattr.h spells them. */
#define XATTR_USER_PREFIX "user."
#define XATTR_TRUSTED_PREFIX "trusted."
#define XATTR_SECURITY_PREFIX "security."

/* The archive ids a file's HSM origin can name: one bit each in a __u32. */
#define LL_HSM_ORIGIN_MAX_ARCHIVE (sizeof(__u32) * 8)

#ifdef __cplusplus
}
#endif

#endif /* LUSTRE_SIM_LUSTRE_IDL_H */
