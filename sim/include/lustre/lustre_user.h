/* The old path of the Lustre stand-in's user-space types, kept as Lustre
 * keeps it for programs written before the header moved. */
#ifndef LUSTRE_SIM_OLD_LUSTRE_USER_H
#define LUSTRE_SIM_OLD_LUSTRE_USER_H
#include <linux/lustre/lustre_user.h>
#endif
