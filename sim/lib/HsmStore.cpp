#include "HsmStore.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

namespace sim::lib {
namespace {

std::string Hex(unsigned long long v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%llx", v);
    return buf;
}

std::string ToHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    if (bytes.empty()) return "-";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool FromHex(const std::string& hex, std::string& bytes)
{
    bytes.clear();
    if (hex == "-") return true;
    if (hex.size() % 2 != 0) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned long long v;
        if (!ParseU64(hex.substr(i, 2), v, 16)) return false;
        bytes += static_cast<char>(v);
    }
    return true;
}

template <typename T>
bool ParseU(const std::string& text, T& value, int base = 10)
{
    unsigned long long v;
    if (!ParseU64(text, v, base)) return false;
    value = static_cast<T>(v);
    return static_cast<unsigned long long>(value) == v;
}

}  // namespace

bool SameFid(const lu_fid& a, const lu_fid& b)
{
    return a.f_seq == b.f_seq && a.f_oid == b.f_oid && a.f_ver == b.f_ver;
}

bool HsmStore::Load(const Context& ctx)
{
    m_files.clear();
    m_actions.clear();
    m_dirty = false;
    // Cookies start at the time of the first request, as the coordinator's do.
    m_nextCookie = static_cast<unsigned long long>(time(nullptr));
    m_nextCompound = 1;
    std::vector<std::string> lines;
    if (!ReadLines(ctx.libDir + "/hsm", lines)) return false;
    for (const auto& line : lines) {
        std::vector<std::string> w = Split(line);
        bool ok = false;
        // lu_fid is packed: its fields are parsed into these, then copied.
        unsigned long long seq = 0;
        unsigned oid = 0;
        unsigned ver = 0;
        if (w.size() == 3 && w[0] == "next" && w[1] == "cookie") {
            ok = ParseU(w[2], m_nextCookie);
        } else if (w.size() == 3 && w[0] == "next" && w[1] == "compound") {
            ok = ParseU(w[2], m_nextCompound);
        } else if (w.size() == 8 && w[0] == "file") {
            FileHsm f;
            f.fs = w[1];
            ok = ParseU(w[2], seq, 16) && ParseU(w[3], oid) && ParseU(w[4], f.flags, 16) && ParseU(w[5], f.archiveId) &&
                 ParseI64(w[6], f.mtimeNs) && ParseI64(w[7], f.size);
            f.fid.f_seq = seq;
            f.fid.f_oid = oid;
            if (ok) m_files.push_back(f);
        } else if ((w.size() == 15 || w.size() == 17) && w[0] == "action") {
            Action a;
            a.started = w[3] == "S";
            a.fs = w[5];
            ok = ParseU(w[1], a.cookie) && ParseU(w[2], a.compound) && (w[3] == "S" || w[3] == "W") &&
                 DecodeWord(w[4], a.owner) && ParseU(w[6], a.action) && ParseU(w[7], a.archiveId) &&
                 ParseU(w[8], a.flags, 16) && ParseU(w[9], seq, 16) && ParseU(w[10], oid) && ParseU(w[11], ver) &&
                 ParseU(w[12], a.extentOffset) && ParseU(w[13], a.extentLength) && FromHex(w[14], a.data) &&
                 (w.size() == 15 || (ParseU(w[15], a.copiedOffset) && ParseU(w[16], a.copiedLength)));
            a.fid = {seq, oid, ver};
            if (ok) m_actions.push_back(a);
        }
        if (!ok) return false;
    }
    return true;
}

bool HsmStore::Save(const Context& ctx)
{
    if (!m_dirty) return true;
    std::vector<std::string> lines;
    lines.push_back("next cookie " + std::to_string(m_nextCookie));
    lines.push_back("next compound " + std::to_string(m_nextCompound));
    for (const auto& f : m_files)
        lines.push_back("file " + f.fs + " " + Hex(f.fid.f_seq) + " " + std::to_string(f.fid.f_oid) + " " +
                        Hex(f.flags) + " " + std::to_string(f.archiveId) + " " + std::to_string(f.mtimeNs) + " " +
                        std::to_string(f.size));
    for (const auto& a : m_actions)
        lines.push_back("action " + std::to_string(a.cookie) + " " + std::to_string(a.compound) + " " +
                        (a.started ? "S " : "W ") + EncodeWord(a.owner) + " " + a.fs + " " + std::to_string(a.action) +
                        " " + std::to_string(a.archiveId) + " " + Hex(a.flags) + " " + Hex(a.fid.f_seq) + " " +
                        std::to_string(a.fid.f_oid) + " " + std::to_string(a.fid.f_ver) + " " +
                        std::to_string(a.extentOffset) + " " + std::to_string(a.extentLength) + " " + ToHex(a.data) +
                        " " + std::to_string(a.copiedOffset) + " " + std::to_string(a.copiedLength));
    if (!WriteLines(ctx.libDir + "/hsm", lines)) return false;
    m_dirty = false;
    return true;
}

FileHsm* HsmStore::FindFile(const std::string& fs, const lu_fid& fid)
{
    for (auto& f : m_files)
        if (f.fs == fs && SameFid(f.fid, fid)) return &f;
    return nullptr;
}

FileHsm& HsmStore::File(const std::string& fs, const lu_fid& fid)
{
    m_dirty = true;
    if (FileHsm* f = FindFile(fs, fid)) return *f;
    FileHsm f;
    f.fs = fs;
    f.fid = fid;
    m_files.push_back(f);
    return m_files.back();
}

Action* HsmStore::FindAction(unsigned long long cookie)
{
    for (auto& a : m_actions)
        if (a.cookie == cookie) return &a;
    return nullptr;
}

void HsmStore::RemoveAction(unsigned long long cookie)
{
    m_actions.erase(
        std::remove_if(m_actions.begin(), m_actions.end(), [cookie](const Action& a) { return a.cookie == cookie; }),
        m_actions.end());
    m_dirty = true;
}

unsigned long long HsmStore::NextCookie()
{
    m_dirty = true;
    return m_nextCookie++;
}

unsigned long long HsmStore::NextCompound()
{
    m_dirty = true;
    return m_nextCompound++;
}

}  // namespace sim::lib
