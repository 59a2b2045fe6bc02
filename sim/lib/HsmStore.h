// HSM state kept in <state>/lib/hsm: each file's HSM flags and the queue of
// copytool actions. Callers hold the state lock while a store is loaded,
// changed and saved.
#pragma once
#include <lustre/lustreapi.h>

#include <string>
#include <vector>

#include "SimState.h"

namespace sim::lib {

// Lustre's default archive id (hsm.default_archive_id) for an ARCHIVE
// request without one.
constexpr unsigned kDefaultArchiveId = 1;

struct FileHsm {
    std::string fs;
    lu_fid fid{};
    unsigned flags = 0;
    unsigned archiveId = 0;
    long long mtimeNs = 0;  // data as archived: modification time and size
    long long size = 0;
};

struct Action {
    unsigned long long cookie = 0;
    unsigned long long compound = 0;
    bool started = false;  // handed to a copytool
    std::string owner;     // the copytool that has it: "<pid>.<number>"
    std::string fs;
    unsigned action = 0;  // HSMA_*
    unsigned archiveId = 0;
    unsigned long long flags = 0;  // hr_flags of the request
    lu_fid fid{};
    unsigned long long extentOffset = 0;
    unsigned long long extentLength = 0;
    std::string data;
    // What the copytool reported copied so far (progress), offset and length.
    unsigned long long copiedOffset = 0;
    unsigned long long copiedLength = 0;
};

class HsmStore {
public:
    [[nodiscard]] bool Load(const Context& ctx);
    [[nodiscard]] bool Save(const Context& ctx);

    FileHsm* FindFile(const std::string& fs, const lu_fid& fid);
    FileHsm& File(const std::string& fs, const lu_fid& fid);

    std::vector<Action>& Actions()
    {
        m_dirty = true;
        return m_actions;
    }
    const std::vector<Action>& Actions() const { return m_actions; }
    Action* FindAction(unsigned long long cookie);
    void RemoveAction(unsigned long long cookie);

    unsigned long long NextCookie();
    unsigned long long NextCompound();
    void Touch() { m_dirty = true; }

private:
    std::vector<FileHsm> m_files;
    std::vector<Action> m_actions;
    unsigned long long m_nextCookie = 0;
    unsigned long long m_nextCompound = 0;
    bool m_dirty = false;
};

bool SameFid(const lu_fid& a, const lu_fid& b);

}  // namespace sim::lib
