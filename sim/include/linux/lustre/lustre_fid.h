/* The Lustre stand-in's FID helpers, under the path of Lustre's own
 * lustre_fid.h: the fields of a FID and the kind of object its sequence
 * names. lustreapi.h does not include this file; a copytool includes it
 * itself.
 *
 * This folder stands in for Lustre's headers only where Lustre's development
 * files are not installed; it is never on the compiler's default search path.
 */
#ifndef LUSTRE_SIM_LUSTRE_FID_H
#define LUSTRE_SIM_LUSTRE_FID_H

#include <linux/lustre/lustre_idl.h>

#ifdef __cplusplus
extern "C" {
#endif

static inline __u64 fid_seq(const struct lu_fid* fid) { return fid->f_seq; }

static inline __u32 fid_oid(const struct lu_fid* fid) { return fid->f_oid; }

static inline __u32 fid_ver(const struct lu_fid* fid) { return fid->f_ver; }

/* A FID of an ordinary file or directory, given out by an MDT. */
static inline bool fid_seq_is_norm(__u64 seq) { return seq >= FID_SEQ_NORMAL; }

static inline bool fid_is_norm(const struct lu_fid* fid) { return fid_seq_is_norm(fid->f_seq); }

/* A FID made from the inode and generation of a file of Lustre 1.8. */
static inline bool fid_seq_is_igif(__u64 seq) { return seq >= FID_SEQ_IGIF && seq <= FID_SEQ_IGIF_MAX; }

static inline bool fid_is_igif(const struct lu_fid* fid) { return fid_seq_is_igif(fid->f_seq); }

#ifdef __cplusplus
}
#endif

#endif /* LUSTRE_SIM_LUSTRE_FID_H */
