#include "SimConfig.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "WholeNumber.h"

namespace sim {
namespace {

std::vector<std::string> Words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

}  // namespace

const FileSystem* Config::FindFs(const std::string& name) const
{
    for (const auto& fs : fileSystems)
        if (fs.name == name) return &fs;
    return nullptr;
}

const MdsServer* Config::FindServer(const std::string& fs, int index) const
{
    for (const auto& s : servers)
        if (s.fs == fs && s.index == index) return &s;
    return nullptr;
}

bool Config::HostKnown(const std::string& host) const
{
    for (const auto& s : servers)
        if (s.host == host) return true;
    for (const auto& l : logins)
        if (l.host == host) return true;
    return false;
}

bool Config::LoginAllowed(const std::string& user, const std::string& host) const
{
    for (const auto& l : logins)
        if (l.user == user && l.host == host) return true;
    return false;
}

std::string StateDir()
{
    const char* dir = getenv("LUSTRE_SIM_STATE");
    return dir ? dir : "";
}

std::string MdtName(const std::string& fs, int index)
{
    char buf[16];
    snprintf(buf, sizeof buf, "-MDT%04x", static_cast<unsigned>(index));
    return fs + buf;
}

bool LoadConfig(const std::string& stateDir, Config& config, std::string& error)
{
    if (stateDir.empty()) {
        error = "LUSTRE_SIM_STATE is not set";
        return false;
    }
    const std::string file = stateDir + "/config";
    std::string text;
    if (!ReadFileText(file, text)) {
        error = "cannot read " + file + ": " + strerror(errno);
        return false;
    }
    std::istringstream in(text);
    Config cfg;
    std::string line;
    for (int lineNo = 1; std::getline(in, line); ++lineNo) {
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::vector<std::string> w = Words(line);
        if (w.empty()) continue;
        bool ok = false;
        if (w[0] == "version" && w.size() == 2) {
            cfg.version = w[1];
            ok = true;
        } else if (w[0] == "fs" && w.size() == 3 && w[2].rfind("mdts=", 0) == 0) {
            FileSystem fs{w[1], 0};
            ok = common::WholeNumber(w[2].substr(5), fs.mdts) && fs.mdts > 0;
            if (ok) cfg.fileSystems.push_back(fs);
        } else if (w[0] == "mount" && w.size() == 4) {
            cfg.mounts.push_back({w[1], w[2], w[3]});
            ok = true;
        } else if (w[0] == "archive" && w.size() == 4) {
            Archive a{w[1], 0, w[3]};
            ok = common::WholeNumber(w[2], a.id) && a.id >= 0;
            if (ok) cfg.archives.push_back(a);
        } else if (w[0] == "mds" && w.size() == 5) {
            MdsServer s{w[1], 0, w[3], w[4]};
            ok = common::WholeNumber(w[2], s.index) && s.index >= 0;
            if (ok) cfg.servers.push_back(s);
        } else if (w[0] == "login" && w.size() == 3) {
            cfg.logins.push_back({w[1], w[2]});
            ok = true;
        }
        if (!ok) {
            error = file + ":" + std::to_string(lineNo) + ": cannot read '" + line + "'";
            return false;
        }
    }
    config = std::move(cfg);
    return true;
}

bool SaveConfig(const std::string& stateDir, const Config& config, std::string& error)
{
    std::ostringstream out;
    out << "version " << config.version << "\n";
    for (const auto& fs : config.fileSystems) out << "fs " << fs.name << " mdts=" << fs.mdts << "\n";
    for (const auto& m : config.mounts) out << "mount " << m.fs << " " << m.dir << " " << m.instance << "\n";
    for (const auto& a : config.archives) out << "archive " << a.fs << " " << a.id << " " << a.dir << "\n";
    for (const auto& s : config.servers)
        out << "mds " << s.fs << " " << s.index << " " << s.host << " " << s.nid << "\n";
    for (const auto& l : config.logins) out << "login " << l.user << " " << l.host << "\n";

    return WriteFileAtomically(stateDir + "/config", out.str(), error);
}

bool ReadFileText(const std::string& file, std::string& text)
{
    common::UniqueFd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return false;
    text.clear();
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text.append(buffer, static_cast<size_t>(n));
    }
}

bool WriteFileAtomically(const std::string& file, const std::string& content, std::string& error)
{
    const std::string tmp = file + ".tmp." + std::to_string(getpid());
    {
        common::UniqueFd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        const char* data = content.data();
        size_t left = content.size();
        while (fd.Valid() && left > 0) {
            const ssize_t n = write(fd.Get(), data, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            data += n;
            left -= static_cast<size_t>(n);
        }
        if (!fd.Valid() || left > 0) {
            error = "cannot write " + tmp + ": " + strerror(errno);
            unlink(tmp.c_str());
            return false;
        }
    }
    if (rename(tmp.c_str(), file.c_str()) != 0) {
        error = "cannot rename " + tmp + ": " + strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

StateLock::StateLock(const std::string& stateDir)
{
    const std::string file = stateDir + "/lock";
    m_fd.Reset(open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    int rc = m_fd.Valid() ? 0 : -1;
    if (rc == 0) {
        do rc = flock(m_fd.Get(), LOCK_EX);
        while (rc != 0 && errno == EINTR);
    }
    if (rc != 0) {
        m_error = "cannot lock " + file + ": " + strerror(errno);
        m_fd.Reset();
    }
}

}  // namespace sim
