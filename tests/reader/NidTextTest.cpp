// NID texts as Lustre's libcfs_nid2str writes them (lnet/lnet/nidstrings.c):
// the 64-bit lnet_nid_t is (network type << 48) | (network number << 32) |
// address. Every row is worked out from nidstrings.c's table and formats,
// and read back to its number.
#include <cstdint>

#include <gtest/gtest.h>

#include "NidText.h"

namespace {

constexpr std::uint64_t Nid(std::uint64_t type, std::uint64_t number, std::uint64_t address)
{
    return type << 48 | number << 32 | address;
}

TEST(NidText, AsLustreWritesThem)
{
    const struct {
        std::uint64_t nid;
        const char* text;
    } rows[] = {
        // IPv4 addresses: tcp (SOCKLND 2), o2ib (5), gip (14), efa (18).
        {Nid(2, 0, 0x0a000001), "10.0.0.1@tcp"},
        {Nid(2, 3, 0xffffffff), "255.255.255.255@tcp3"},
        {Nid(5, 1, 0xc0a80102), "192.168.1.2@o2ib1"},
        {Nid(14, 0, 0x0a010203), "10.1.2.3@gip"},
        {Nid(18, 65535, 0xac1f0009), "172.31.0.9@efa65535"},
        // Decimal addresses: lo (9), gni (13), ptlf (15), kfi (16), bxi3f (19).
        {Nid(9, 0, 0), "0@lo"},
        {Nid(13, 1, 5), "5@gni1"},
        {Nid(15, 3, 12), "12@ptlf3"},
        {Nid(16, 0, 0xffffffff), "4294967295@kfi"},
        {Nid(19, 2, 17), "17@bxi3f2"},
        // Types Lustre does not name: the address in hexadecimal.
        {Nid(0, 0, 0), "0@<0:0>"},
        {Nid(17, 4, 0xff), "ff@<17:4>"},
        {Nid(65535, 65535, 0xdeadbeef), "deadbeef@<65535:65535>"},
        // LNET_NID_ANY.
        {~std::uint64_t{0}, "<?>"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(common::NidText(row.nid), row.text);
        std::uint64_t read = 1;
        ASSERT_TRUE(common::ParseNid(row.text, read));
        EXPECT_EQ(read, row.nid);
    }
}

// Only the text Lustre writes for some NID is read: anything else is
// refused and leaves the number alone.
TEST(NidText, OtherTextIsRefused)
{
    for (const char* text : {"", "@tcp", "10.0.0.1", "10.0.0.1@", "10.0.0.256@tcp", "10.0.0@tcp", "10.0.0.1.2@tcp",
                             "010.0.0.1@tcp", "10.0.0.1@tcp0", "10.0.0.1@tcp01", "10.0.0.1@tcp65536", "1@lo ",
                             "-1@lo", "4294967296@lo", "1@<2:0>", "A@<17:0>", "0a@<17:0>", "1@<17:65536>",
                             "1@<17>", "0@nonet", "10.0.0.1@efa0x", "<?>x"}) {
        SCOPED_TRACE(text);
        std::uint64_t read = 7;
        EXPECT_FALSE(common::ParseNid(text, read));
        EXPECT_EQ(read, 7u);
    }
}

}  // namespace
