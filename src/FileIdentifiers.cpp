// File identifiers: the FID value and its text form, and the conversions
// between a path and its FID through Lustre.
#include <cctype>
#include <cerrno>
#include <cstring>

#include "ArgumentChecks.h"
#include "Diagnostics.h"
#include "EntryPoints.h"
#include "KxUtils.h"
#include "LustreAPI.h"

namespace LustreAPI {

// ---- File identifiers ----------------------------------------------------------------

namespace {

// True when there are at least three pieces and each of the first three
// starts with a hexadecimal digit.
bool HasFidShape(const std::vector<std::string>& pieces)
{
    if (pieces.size() < 3) return false;
    for (size_t i = 0; i < 3; ++i) {
        if (pieces[i].empty() || !std::isxdigit(static_cast<unsigned char>(pieces[i][0]))) return false;
    }
    return true;
}

// Runs one standard conversion with errno cleared, and puts the caller's
// errno back unless the conversion set its own. An exception leaves with the
// conversion's errno in place.
template <typename Convert>
auto ConvertKeepingErrno(Convert convert)
{
    const int savedErrno = errno;
    errno = 0;
    const auto value = convert();
    if (errno == 0) errno = savedErrno;
    return value;
}

}  // namespace

CLustreFID::CLustreFID() : m_seq(0), m_oid(0), m_ver(0) {}

CLustreFID::CLustreFID(const CLustreFID& other) : m_seq(other.m_seq), m_oid(other.m_oid), m_ver(other.m_ver) {}

CLustreFID::CLustreFID(std::string text) : m_seq(0), m_oid(0), m_ver(0)
{
    HBString::Trim(text, "[]");
    std::vector<std::string> pieces;
    HBString::Split(text, ":", pieces, 0);
    if (!HasFidShape(pieces)) {
        LogLine(LAPI_LOCATION, "FID cannot be generated for %s", text.c_str());
        return;
    }
    // Base 0: 0x hexadecimal, a leading 0 octal, else decimal; a conversion
    // stops at the first character that cannot continue the number. Object
    // id and version keep their low 32 bits.
    m_seq = ConvertKeepingErrno([&] { return std::stoull(pieces[0], nullptr, 0); });
    m_oid = static_cast<unsigned int>(ConvertKeepingErrno([&] { return std::stoul(pieces[1], nullptr, 0); }));
    m_ver = static_cast<unsigned int>(ConvertKeepingErrno([&] { return std::stoul(pieces[2], nullptr, 0); }));
}

CLustreFID::CLustreFID(lu_fid fid) : m_seq(fid.f_seq), m_oid(fid.f_oid), m_ver(fid.f_ver) {}

CLustreFID::~CLustreFID() {}

lu_fid CLustreFID::LuFid() const
{
    lu_fid fid{};
    fid.f_seq = m_seq;
    fid.f_oid = m_oid;
    fid.f_ver = m_ver;
    return fid;
}

namespace {

// "0x" and value in lowercase hexadecimal without leading zeros, at p (room
// for 18 bytes); returns the end.
char* WriteHex(char* p, unsigned long long value)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    *p++ = '0';
    *p++ = 'x';
    const int digits = value == 0 ? 1 : (67 - __builtin_clzll(value)) / 4;
    for (int i = digits - 1; i >= 0; --i, value >>= 4) p[i] = kDigits[value & 0xf];
    return p + digits;
}

}  // namespace

std::string CLustreFID::Text() const
{
    // '[' 18 ':' 10 ':' 10 ']'
    char text[42];
    char* p = text;
    *p++ = '[';
    p = WriteHex(p, m_seq);
    *p++ = ':';
    p = WriteHex(p, m_oid);
    *p++ = ':';
    p = WriteHex(p, m_ver);
    *p++ = ']';
    return std::string(text, p);
}

namespace {

// One field of a FID's text, as Lustre's strtoull with base 0 reads it, but
// only digits: 0x or 0X and hexadecimal digits, a leading 0 and octal
// digits, or decimal digits. Returns the end of the digits, or nullptr when
// there is none; value is the number, overflow whether it exceeds 64 bits.
const char* ReadFidField(const char* p, const char* end, unsigned long long& value, bool& overflow)
{
    unsigned base = 10;
    if (p != end && *p == '0') {
        // "0x" without a hexadecimal digit after it is the number 0 followed
        // by an 'x', as strtoull reads it.
        base = end - p > 2 && (p[1] == 'x' || p[1] == 'X') && std::isxdigit(static_cast<unsigned char>(p[2])) ? 16 : 8;
        if (base == 16) p += 2;
    }
    const char* const digits = p;
    value = 0;
    overflow = false;
    for (; p != end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        unsigned digit = base;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit >= base) break;
        if (value > (~0ULL - digit) / base)
            overflow = true;
        else
            value = value * base + digit;
    }
    return p == digits ? nullptr : p;
}

}  // namespace

CKxError CLustreFID::Parse(const std::string& text, CLustreFID& fid)
{
    struct Field {
        const char* name;
        unsigned long long limit;
        const char* shownLimit;
    };
    // Lustre refuses a sequence of 2^64 - 1: strtoull's answer to an overflow.
    static constexpr Field kFields[] = {{"sequence", 0xfffffffffffffffeULL, "0xfffffffffffffffe"},
                                        {"object id", 0xffffffffULL, "0xffffffff"},
                                        {"version", 0xffffffffULL, "0xffffffff"}};
    const auto refuse = [&text](const std::string& reason) {
        const std::string quoted = QuoteForMessage(text);
        return RefusalError(LAPI_LOCATION, "The text \"%s\" is not a FID: %s", quoted.c_str(), reason.c_str());
    };

    const char* p = text.data();
    const char* const end = p + text.size();
    // isspace's blanks in the C locale (space, \t \n \v \f \r), whatever
    // locale the host set.
    const auto isBlank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (p != end && isBlank(*p)) ++p;
    bool bracket = false;
    while (p != end && *p == '[') {
        bracket = true;
        ++p;
    }
    unsigned long long values[3] = {};
    for (size_t i = 0; i < 3; ++i) {
        if (i > 0) {
            if (p == end || *p == ']') return refuse(std::string("it ends before its ") + kFields[i].name);
            if (*p != ':') return refuse(std::string("its ") + kFields[i - 1].name + " is not a number");
            ++p;
        }
        bool overflow = false;
        const char* const after = ReadFidField(p, end, values[i], overflow);
        if (!after) return refuse(std::string("its ") + kFields[i].name + " is not a number");
        if (overflow || values[i] > kFields[i].limit)
            return refuse(std::string("its ") + kFields[i].name + " is beyond " + kFields[i].shownLimit);
        p = after;
    }
    if (bracket) {
        if (p == end) return refuse("its '[' is not closed");
        if (*p == ']') ++p;
    }
    if (p != end) return refuse("text follows its version");
    fid.m_seq = values[0];
    fid.m_oid = static_cast<unsigned int>(values[1]);
    fid.m_ver = static_cast<unsigned int>(values[2]);
    return CKxError();
}

int Path2FID(const std::string& path, lu_fid& fid, std::string& message)
{
    const auto entry = BoundEntry<&FunctionTable::path2fid>(message);
    if (!entry) return -EINVAL;
    // Cleared so that a failed call that writes nothing hands back zeros
    // rather than stack garbage.
    lu_fid found{};
    const int result = entry(path.c_str(), &found);
    if (result != 0) message = HBString::Format("Cannot convert Path to FID for %s", path.c_str());
    fid = found;
    return result;
}

CKxError GetFIDFromPath(const std::string& path, CLustreFID& fid)
{
    std::string message;
    lu_fid found{};
    // Bound before the call, Lustre was asked: its result says why it failed.
    const bool asked = func_table.path2fid.load(std::memory_order_acquire) != nullptr;
    const int result = Path2FID(path, found, message);
    if (result != 0) {
        if (asked && result < 0)
            return HBErrorUtil::ErrorErrNo(LAPI_LOCATION, ENOENT, "%s: llapi_path2fid failed with Error %s (%d)",
                                           message.c_str(), std::strerror(-result), -result);
        return HBErrorUtil::ErrorErrNo(LAPI_LOCATION, ENOENT, "%s", message.c_str());
    }
    fid = CLustreFID(found);
    return CKxError();
}

namespace {

constexpr int kPathBufferSize = 1024;  // the terminating NUL included

// Lustre's path of fid below the mount point of device, as FID2Path gives it
// (record and link number as given). 0, or its negative result.
int RelativePath(const std::string& device, const std::string& fidText, long long& recNo, int& linkNo,
                 std::string& relative, std::string& message)
{
    char buffer[kPathBufferSize];
    buffer[0] = '\0';
    // FID2Path takes the record number before the link number.
    const int result = FID2Path(device.c_str(), fidText.c_str(), buffer, kPathBufferSize, &recNo, &linkNo, message);
    // A callee that fills the whole buffer leaves no NUL: read no further
    // than the buffer and keep what fits.
    if (result == 0) relative.assign(buffer, strnlen(buffer, sizeof buffer));
    return result;
}

// The mount point of the file system that device names to llapi_fid2path:
// device itself when it is one, the directory above it when it is a path
// inside the mount (Lustre's own path for device's FID tells how far
// above). A file system's name names no directory. errno 2 on failure, the
// message saying why for fidText.
CKxError MountPointOf(const std::string& device, const std::string& fidText, std::string& mount)
{
    const auto fail = [&](const std::string& why) {
        return HBErrorUtil::ErrorErrNo(LAPI_LOCATION, ENOENT, "Cannot convert FID to Path for %s: %s", fidText.c_str(),
                                       why.c_str());
    };
    // Lustre reads what does not begin with '/' as a file system's name.
    if (device.empty() || device[0] != '/')
        return fail(device + " is the name of a file system, not a directory; give its mount point or a path in it");
    std::string message;
    lu_fid own{};
    if (Path2FID(device, own, message) != 0)
        return fail("cannot tell the mount point of " + device + ": " + message);
    constexpr lu_fid kRoot{0x200000007, 1, 0};  // the root directory of every Lustre file system
    std::string trimmed = device;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    if (own.f_seq == kRoot.f_seq && own.f_oid == kRoot.f_oid && own.f_ver == kRoot.f_ver) {
        mount = device;
        return CKxError();
    }
    long long recNo = -1;
    int linkNo = 0;
    std::string below;
    if (RelativePath(device, CLustreFID(own).Text(), recNo, linkNo, below, message) != 0)
        return fail("cannot tell the mount point of " + device + ": Lustre has no path for its FID " + CLustreFID(own).Text());
    while (!below.empty() && below.back() == '/') below.pop_back();
    // The root of a mount of a directory of the file system.
    if (below.empty()) {
        mount = device;
        return CKxError();
    }
    if (trimmed.size() <= below.size() + 1 || trimmed.compare(trimmed.size() - below.size(), below.size(), below) != 0 ||
        trimmed[trimmed.size() - below.size() - 1] != '/')
        return fail("cannot tell the mount point of " + device + ": Lustre names it " + below +
                    " below its mount point, which the path does not end in");
    mount = trimmed.substr(0, trimmed.size() - below.size() - 1);
    if (mount.empty()) mount = "/";
    return CKxError();
}

}  // namespace

CKxError GetPathFromFID(const std::string& mountPoint, CLustreFID& fid, std::string& path, int& linkNo,
                        long long& recNo)
{
    std::string message;
    const std::string fidText = fid.Text();
    std::string relativePath;
    if (RelativePath(mountPoint, fidText, recNo, linkNo, relativePath, message) != 0)
        return HBErrorUtil::ErrorErrNo(LAPI_LOCATION, ENOENT, "Cannot convert FID to Path for %s due to %s",
                                       fidText.c_str(), message.c_str());
    // Lustre's answer lies below the mount point of the file system it was
    // asked about, whatever path in it or name of it the caller gave.
    std::string mount;
    CKxError located = MountPointOf(mountPoint, fidText, mount);
    if (located.Failed()) return located;
    path = mount;
    HBPath::Append(path, relativePath, 0);  // joining cannot fail
    return CKxError();
}

CKxError GetPathsFromFID(const std::string& mountPoint, const CLustreFID& fid, std::vector<std::string>& paths)
{
    const std::string fidText = fid.Text();
    std::vector<std::string> found;
    std::string mount;
    int linkNo = 0;
    while (found.size() < kMaxPathsOfFID) {
        std::string message;
        std::string relativePath;
        long long recNo = 0;
        const int asked = linkNo;
        if (RelativePath(mountPoint, fidText, recNo, linkNo, relativePath, message) != 0)
            return HBErrorUtil::ErrorErrNo(LAPI_LOCATION, ENOENT, "Cannot convert FID to Path for %s due to %s",
                                           fidText.c_str(), message.c_str());
        // One mount point for every link: they all lie in one file system.
        if (found.empty()) {
            CKxError located = MountPointOf(mountPoint, fidText, mount);
            if (located.Failed()) return located;
        }
        std::string path = mount;
        HBPath::Append(path, relativePath, 0);
        found.push_back(std::move(path));
        // Lustre hands back the next link number, and the same one at the last.
        if (linkNo <= asked) {
            paths = std::move(found);
            return CKxError();
        }
    }
    return CommandError(LAPI_LOCATION, "Cannot convert FID to Path for %s: it has more than %zu links", fidText.c_str(),
                        kMaxPathsOfFID);
}

}  // namespace LustreAPI
