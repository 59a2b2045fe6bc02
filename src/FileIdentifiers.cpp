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

CKxError GetPathFromFID(const std::string& mountPoint, CLustreFID& fid, std::string& path, int& linkNo,
                        long long& recNo)
{
    constexpr int kPathBufferSize = 1024;  // the terminating NUL included
    std::string message;
    const std::string fidText = HBString::Format("[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
    char buffer[kPathBufferSize];
    buffer[0] = '\0';
    // FID2Path takes the record number before the link number.
    const int result = FID2Path(mountPoint.c_str(), fidText.c_str(), buffer, kPathBufferSize, &recNo, &linkNo, message);
    if (result != 0)
        return HBErrorUtil::ErrorErrNo(LAPI_LOCATION, ENOENT, "Cannot convert FID to Path for %s due to %s",
                                       fidText.c_str(), message.c_str());
    // A callee that fills the whole buffer leaves no NUL: read no further
    // than the buffer and keep what fits.
    const std::string relativePath(buffer, strnlen(buffer, sizeof buffer));
    path = mountPoint;
    HBPath::Append(path, relativePath, 0);  // joining cannot fail
    return CKxError();
}

}  // namespace LustreAPI
