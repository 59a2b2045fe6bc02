// File identifiers: the FID value and its text form, and the conversions
// between a path and its FID through Lustre.
#include <cctype>
#include <cerrno>
#include <cstring>

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

CLustreFID::~CLustreFID() {}

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
    if (Path2FID(path, found, message) != 0)
        return HBErrorUtil::ErrorErrNo(LAPI_LOCATION, ENOENT, "%s", message.c_str());
    fid.m_seq = found.f_seq;
    fid.m_oid = found.f_oid;
    fid.m_ver = found.f_ver;
    return CKxError();
}

namespace {

constexpr int kPathBufferSize = 1024;  // the terminating NUL included

std::string FidText(const lu_fid& fid)
{
    return HBString::Format("[0x%llx:0x%x:0x%x]", static_cast<unsigned long long>(fid.f_seq), fid.f_oid, fid.f_ver);
}

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
    if (RelativePath(device, FidText(own), recNo, linkNo, below, message) != 0)
        return fail("cannot tell the mount point of " + device + ": Lustre has no path for its FID " + FidText(own));
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
    const std::string fidText = HBString::Format("[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
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

}  // namespace LustreAPI
