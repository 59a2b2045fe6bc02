// libcfs_nid2str_r and the ring of buffers libcfs_nid2str writes into: the
// part of Lustre's libcfs that its library exports and clients call to
// print the NIDs changelog records carry.
#include <linux/lnet/nidstr.h>

#include <atomic>
#include <cstdio>

#include "NidText.h"

namespace {

char g_nidStrings[LNET_NIDSTR_COUNT][LNET_NIDSTR_SIZE];
std::atomic<unsigned> g_nextNidString{0};

}  // namespace

extern "C" __attribute__((visibility("default"))) char* libcfs_next_nidstring(void)
{
    return g_nidStrings[g_nextNidString.fetch_add(1, std::memory_order_relaxed) % LNET_NIDSTR_COUNT];
}

extern "C" __attribute__((visibility("default"))) char* libcfs_nid2str_r(lnet_nid_t nid, char* buf, size_t buf_size)
{
    char text[common::kNidTextSize];
    common::FormatNid(nid, text);
    if (buf && buf_size > 0) std::snprintf(buf, buf_size, "%s", text);
    return buf;
}
