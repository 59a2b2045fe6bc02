/* The Lustre stand-in's NID text, under the path of Lustre's own nidstr.h:
 * libcfs_nid2str_r writes a NID as Lustre writes it ("10.0.0.1@tcp",
 * "0@lo"); libcfs_nid2str writes into one of a ring of buffers that
 * libcfs_next_nidstring hands out, as Lustre's does. */
#ifndef LUSTRE_SIM_NIDSTR_H
#define LUSTRE_SIM_NIDSTR_H
#include <stddef.h>

#include <linux/lnet/lnet-types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Network driver types. */
enum {
    SOCKLND = 2,
    O2IBLND = 5,
    LOLND = 9,
    GNILND = 13,
    GNIIPLND = 14,
    PTL4LND = 15,
    KFILND = 16,
};

#define LNET_NIDSTR_COUNT 1024 /* buffers in the ring */
#define LNET_NIDSTR_SIZE 64    /* bytes in each */

char* libcfs_next_nidstring(void);
char* libcfs_nid2str_r(lnet_nid_t nid, char* buf, size_t buf_size);
static inline char* libcfs_nid2str(lnet_nid_t nid)
{
    return libcfs_nid2str_r(nid, libcfs_next_nidstring(), LNET_NIDSTR_SIZE);
}

#ifdef __cplusplus
}
#endif

#endif /* LUSTRE_SIM_NIDSTR_H */
