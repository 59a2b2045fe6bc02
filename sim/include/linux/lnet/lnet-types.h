/* The Lustre stand-in's network identifier type, under the path of
 * Lustre's own lnet-types.h: a NID is 64 bits, the network in the upper 32
 * (its type in the upper 16 of those), the address in the lower 32. */
#ifndef LUSTRE_SIM_LNET_TYPES_H
#define LUSTRE_SIM_LNET_TYPES_H
#include <linux/types.h>

typedef __u64 lnet_nid_t;

#define LNET_NID_ANY ((lnet_nid_t)-1)

static inline __u32 LNET_NIDADDR(lnet_nid_t nid) { return (__u32)(nid & 0xffffffff); }
static inline __u32 LNET_NIDNET(lnet_nid_t nid) { return (__u32)((nid >> 32) & 0xffffffff); }
static inline lnet_nid_t LNET_MKNID(__u32 net, __u32 addr) { return ((lnet_nid_t)net << 32) | addr; }
static inline __u32 LNET_NETNUM(__u32 net) { return net & 0xffff; }
static inline __u32 LNET_NETTYP(__u32 net) { return (net >> 16) & 0xffff; }
static inline __u32 LNET_MKNET(__u32 type, __u32 num) { return (type << 16) | num; }

#endif /* LUSTRE_SIM_LNET_TYPES_H */
