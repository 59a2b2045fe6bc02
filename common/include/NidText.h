// Lustre's network identifiers (NIDs) in their text form, as Lustre's
// libcfs_nid2str writes the 64-bit lnet_nid_t: the library makes the text of
// a NID a changelog record carries in-process, the stand-in reads the NIDs it
// is given and writes the same numbers into its records. Header-only, shared
// as UniqueFd.h is.
//
// A NID holds a network in its upper 32 bits (the network type in the upper
// 16 of those, the network's number in the lower 16) and an address in its
// lower 32 bits. Known types print as "<address>@<type name><number>", the
// number left out when 0, the address as IPv4 dotted quad or decimal as the
// type wants it: "10.0.0.1@tcp", "192.168.1.2@o2ib1", "0@lo", "7@gni".
// Types Lustre does not name print the address in hexadecimal and the type
// and number in decimal: "a@<17:0>", and the zero NID "0@<0:0>". LNET_NID_ANY
// (all bits set) prints "<?>". The names are those of Lustre 2.17, the newest
// table: each Lustre version names a subset of these types, and types are
// never renumbered.
#pragma once
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "WholeNumber.h"

namespace common {

// Room for the longest NID text and its NUL ("255.255.255.255@o2ib65535").
constexpr std::size_t kNidTextSize = 40;

namespace nid_detail {

struct NetType {
    std::uint32_t type;
    const char* name;
    bool dotted;  // the address is an IPv4 address; otherwise a decimal number
};

// lnet's network types and their names (nidstrings.c, Lustre 2.17).
constexpr NetType kNetTypes[] = {{2, "tcp", true},   {5, "o2ib", true}, {9, "lo", false},
                                 {13, "gni", false}, {14, "gip", true}, {15, "ptlf", false},
                                 {16, "kfi", false}, {18, "efa", true}, {19, "bxi3f", false}};

inline const NetType* FindType(std::uint32_t type)
{
    for (const NetType& t : kNetTypes)
        if (t.type == type) return &t;
    return nullptr;
}

}  // namespace nid_detail

constexpr std::uint64_t kNidAny = ~std::uint64_t{0};

// Writes nid's text into text, NUL-terminated; returns its length.
inline std::size_t FormatNid(std::uint64_t nid, char (&text)[kNidTextSize])
{
    if (nid == kNidAny) {
        std::snprintf(text, sizeof text, "<?>");
        return 3;
    }
    const auto addr = static_cast<std::uint32_t>(nid & 0xffffffffu);
    const auto net = static_cast<std::uint32_t>(nid >> 32);
    const std::uint32_t type = net >> 16, number = net & 0xffff;
    const nid_detail::NetType* known = nid_detail::FindType(type);
    int n;
    if (!known)
        n = std::snprintf(text, sizeof text, "%x@<%u:%u>", addr, type, number);
    else if (known->dotted)
        n = std::snprintf(text, sizeof text, "%u.%u.%u.%u@%s", addr >> 24, addr >> 16 & 0xff, addr >> 8 & 0xff,
                          addr & 0xff, known->name);
    else
        n = std::snprintf(text, sizeof text, "%u@%s", addr, known->name);
    if (known && number != 0 && n > 0)
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "%u", number);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

inline std::string NidText(std::uint64_t nid)
{
    char text[kNidTextSize];
    return std::string(text, FormatNid(nid, text));
}

// The NID whose text is exactly text, as FormatNid writes it; false for any
// other text (an unknown name, a number out of range, leading zeros, a known
// type written as "<T:N>", ...), nid untouched.
inline bool ParseNid(std::string_view text, std::uint64_t& nid)
{
    if (text == "<?>") {
        nid = kNidAny;
        return true;
    }
    const std::size_t at = text.find('@');
    if (at == std::string_view::npos || at == 0) return false;
    const std::string_view address = text.substr(0, at), network = text.substr(at + 1);
    std::uint32_t type = 0, number = 0, addr = 0;
    const char* const netBegin = network.data();
    const char* const netEnd = netBegin + network.size();
    if (network.size() > 2 && network.front() == '<' && network.back() == '>') {
        const std::size_t colon = network.find(':');
        if (colon == std::string_view::npos || !WholeNumber(netBegin + 1, netBegin + colon, type) ||
            !WholeNumber(netBegin + colon + 1, netEnd - 1, number) ||
            !WholeNumber(address.data(), address.data() + address.size(), addr, 16))
            return false;
    } else {
        const nid_detail::NetType* found = nullptr;
        for (const nid_detail::NetType& t : nid_detail::kNetTypes) {
            const std::string_view name(t.name);
            if (network.substr(0, name.size()) != name) continue;
            if (network.size() > name.size() && !WholeNumber(netBegin + name.size(), netEnd, number)) continue;
            found = &t;
        }
        if (!found) return false;
        type = found->type;
        if (found->dotted) {
            const char* p = address.data();
            const char* const end = p + address.size();
            for (int i = 0; i < 4; ++i) {
                const char* stop = p;
                while (stop != end && *stop != '.') ++stop;
                std::uint32_t byte = 0;
                if (!WholeNumber(p, stop, byte) || byte > 255 || (i < 3) != (stop != end)) return false;
                addr = addr << 8 | byte;
                p = stop == end ? end : stop + 1;
            }
        } else if (!WholeNumber(address.data(), address.data() + address.size(), addr)) {
            return false;
        }
    }
    if (type > 0xffff || number > 0xffff) return false;
    const std::uint64_t parsed = static_cast<std::uint64_t>(type << 16 | number) << 32 | addr;
    // Only the text FormatNid writes: no leading zeros, no "<2:0>" for tcp.
    char canonical[kNidTextSize];
    if (std::string_view(canonical, FormatNid(parsed, canonical)) != text) return false;
    nid = parsed;
    return true;
}

}  // namespace common
