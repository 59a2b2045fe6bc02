#include "ChangelogStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "SimConfig.h"

namespace sim {
namespace {

// Stored strings are single words: bytes outside '!'..'~' and '%' become
// %XX, and the empty string is "-" (a literal "-" is stored as "%2D").
std::string Encode(const std::string& text)
{
    if (text.empty()) return "-";
    if (text == "-") return "%2D";
    std::string out;
    for (unsigned char c : text) {
        if (c > ' ' && c < 0x7f && c != '%') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Decode(const std::string& word, std::string& text)
{
    text.clear();
    if (word == "-") return true;
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] != '%') {
            text += word[i];
            continue;
        }
        if (word.size() - i < 3) return false;
        const int hi = HexDigit(word[i + 1]), lo = HexDigit(word[i + 2]);
        if (hi < 0 || lo < 0) return false;
        text += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

template <typename T>
bool ParseNumber(const std::string& text, T& value, int base = 10)
{
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (base == 16) {
        if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
        begin += 2;
    }
    auto [ptr, ec] = std::from_chars(begin, end, value, base);
    return ec == std::errc() && ptr == end && begin != end;
}

// "0x<hex>" or decimal digits.
template <typename T>
bool ParseFidField(const std::string& text, T& value)
{
    if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return ParseNumber(text, value, 16);
    return ParseNumber(text, value, 10);
}

std::string Hex(uint64_t value)
{
    char buf[24];
    snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
    return buf;
}

bool WriteAtomically(const std::string& dir, const std::string& file, const std::string& content, std::string& error)
{
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot create " + dir + ": " + strerror(errno);
        return false;
    }
    return WriteFileAtomically(file, content, error);
}

std::vector<std::string> Words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

bool ReadUser(const std::vector<std::string>& w, ChangelogUser& u)
{
    // user ID ENDREC CLEARTIME NAME EXTENDED MASK
    if (w.size() != 7 || (w[5] != "0" && w[5] != "1")) return false;
    u.extended = w[5] == "1";
    return ParseNumber(w[1], u.id) && u.id > 0 && ParseNumber(w[2], u.endrec) && ParseNumber(w[3], u.clearTime) &&
           Decode(w[4], u.name) && ParseNumber(w[6], u.mask, 16);
}

bool ReadRecord(const std::vector<std::string>& w, ChangelogRecord& r)
{
    // rec INDEX TYPE FLAGS SEC NSEC TFID PFID JOBID EF UID GID NID MODE XATTR NAME SFID SPFID SNAME
    if (w.size() != 19) return false;
    bool ok = ParseNumber(w[1], r.index) && ParseNumber(w[2], r.type) && ParseNumber(w[3], r.flags, 16) &&
              ParseNumber(w[4], r.sec) && ParseNumber(w[5], r.nsec) && ParseFid(w[6], r.tfid) &&
              ParseFid(w[7], r.pfid) && Decode(w[8], r.jobid) && ParseNumber(w[10], r.uid) &&
              ParseNumber(w[11], r.gid) && Decode(w[12], r.nid) && Decode(w[13], r.openMode) &&
              Decode(w[14], r.xattr) && Decode(w[15], r.name) && Decode(w[18], r.sname);
    if (!ok) return false;
    r.hasExtra = w[9] != "-";
    if (r.hasExtra && !ParseNumber(w[9], r.extraFlags, 16)) return false;
    r.rename = w[16] != "-";
    if (r.rename && !(ParseFid(w[16], r.sfid) && ParseFid(w[17], r.spfid))) return false;
    return true;
}

}  // namespace

std::string FormatFid(const Fid& fid)
{
    char buf[64];
    snprintf(buf, sizeof buf, "[%#llx:0x%x:0x%x]", static_cast<unsigned long long>(fid.seq), fid.oid, fid.ver);
    return buf;
}

bool ParseFid(const std::string& text, Fid& fid)
{
    std::string body = text;
    if (!body.empty() && body.front() == '[') {
        if (body.size() < 2 || body.back() != ']') return false;
        body = body.substr(1, body.size() - 2);
    }
    const size_t a = body.find(':');
    const size_t b = a == std::string::npos ? a : body.find(':', a + 1);
    if (b == std::string::npos || body.find(':', b + 1) != std::string::npos) return false;
    Fid f;
    if (!ParseFidField(body.substr(0, a), f.seq) || !ParseFidField(body.substr(a + 1, b - a - 1), f.oid) ||
        !ParseFidField(body.substr(b + 1), f.ver))
        return false;
    fid = f;
    return true;
}

ChangelogUser* MdtChangelog::FindUser(int id)
{
    for (auto& u : users)
        if (u.id == id) return &u;
    return nullptr;
}

void MdtChangelog::Purge()
{
    if (users.empty()) {
        records.clear();
        return;
    }
    uint64_t needed = users.front().endrec;
    for (const auto& u : users) needed = std::min(needed, u.endrec);
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [needed](const ChangelogRecord& r) { return r.index <= needed; }),
                  records.end());
}

std::string ChangelogDir(const std::string& stateDir) { return stateDir + "/changelog"; }

bool LoadChangelog(const std::string& stateDir, const std::string& mdt, MdtChangelog& log, std::string& error)
{
    const std::string file = ChangelogDir(stateDir) + "/" + mdt;
    MdtChangelog result;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            log = result;
            return true;
        }
        error = "cannot read " + file + ": " + strerror(errno);
        return false;
    }
    std::string line;
    for (int lineNo = 1; std::getline(in, line); ++lineNo) {
        const std::vector<std::string> w = Words(line);
        if (w.empty()) continue;
        bool ok = false;
        if (w[0] == "lastuser" && w.size() == 2) {
            ok = ParseNumber(w[1], result.lastUser);
        } else if (w[0] == "index" && w.size() == 2) {
            ok = ParseNumber(w[1], result.index);
        } else if (w[0] == "user") {
            ChangelogUser u;
            ok = ReadUser(w, u);
            if (ok) result.users.push_back(u);
        } else if (w[0] == "rec") {
            ChangelogRecord r;
            ok = ReadRecord(w, r);
            if (ok) result.records.push_back(r);
        }
        if (!ok) {
            error = file + ":" + std::to_string(lineNo) + ": cannot read '" + line + "'";
            return false;
        }
    }
    log = std::move(result);
    return true;
}

bool ScanChangelog(const std::string& stateDir, const std::string& mdt, uint64_t from,
                   const std::function<bool(const ChangelogRecord&)>& take, uint64_t& index, std::string& error)
{
    const std::string file = ChangelogDir(stateDir) + "/" + mdt;
    index = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return true;
        error = "cannot read " + file + ": " + strerror(errno);
        return false;
    }
    std::string line;
    for (int lineNo = 1; std::getline(in, line); ++lineNo) {
        // Records below from are skipped on their index alone.
        if (line.compare(0, 4, "rec ") == 0) {
            uint64_t recordIndex = 0;
            const size_t end = line.find(' ', 4);
            if (end != std::string::npos && ParseNumber(line.substr(4, end - 4), recordIndex) && recordIndex < from)
                continue;
        }
        const std::vector<std::string> w = Words(line);
        if (w.empty() || w[0] == "lastuser" || w[0] == "user") continue;
        ChangelogRecord r;
        bool ok = false;
        if (w[0] == "index" && w.size() == 2) {
            ok = ParseNumber(w[1], index);
        } else if (w[0] == "rec" && ReadRecord(w, r)) {
            if (!take(r)) return true;
            ok = true;
        }
        if (!ok) {
            error = file + ":" + std::to_string(lineNo) + ": cannot read '" + line + "'";
            return false;
        }
    }
    return true;
}

bool SaveChangelog(const std::string& stateDir, const std::string& mdt, const MdtChangelog& log, std::string& error)
{
    std::ostringstream out;
    out << "lastuser " << log.lastUser << "\nindex " << log.index << "\n";
    for (const auto& u : log.users)
        out << "user " << u.id << " " << u.endrec << " " << u.clearTime << " " << Encode(u.name) << " "
            << (u.extended ? 1 : 0) << " " << Hex(u.mask) << "\n";
    for (const auto& r : log.records) {
        out << "rec " << r.index << " " << r.type << " " << Hex(r.flags) << " " << r.sec << " " << r.nsec << " "
            << FormatFid(r.tfid) << " " << FormatFid(r.pfid) << " " << Encode(r.jobid) << " "
            << (r.hasExtra ? Hex(r.extraFlags) : "-") << " " << r.uid << " " << r.gid << " " << Encode(r.nid) << " "
            << Encode(r.openMode) << " " << Encode(r.xattr) << " " << Encode(r.name) << " "
            << (r.rename ? FormatFid(r.sfid) : "-") << " " << (r.rename ? FormatFid(r.spfid) : "-") << " "
            << Encode(r.sname) << "\n";
    }
    const std::string dir = ChangelogDir(stateDir);
    return WriteAtomically(dir, dir + "/" + mdt, out.str(), error);
}

int64_t SimNow(const std::string& stateDir)
{
    std::ifstream in(ChangelogDir(stateDir) + "/clock");
    std::string text;
    int64_t seconds = 0;
    if (in >> text && ParseNumber(text, seconds)) return seconds;
    return static_cast<int64_t>(time(nullptr));
}

bool SetSimNow(const std::string& stateDir, int64_t seconds, std::string& error)
{
    const std::string dir = ChangelogDir(stateDir);
    return WriteAtomically(dir, dir + "/clock", std::to_string(seconds) + "\n", error);
}

}  // namespace sim
