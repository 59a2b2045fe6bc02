// HSM state kept in the state store (sim/common/StateDb.h): each file's HSM
// flags and the queue of copytool actions, keyed by file and by cookie.
//
// Callers run a sim::Transaction on Context::db around Load, the calls and
// Save. The rows a call looks up are read into this object, changed there
// through the pointers it hands out, and written back by Save: the cost is
// that of the rows touched, never of the whole state.
#pragma once
#include <lustre/lustreapi.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "SimState.h"
#include "StateDb.h"

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
    // Works on ctx's store from now on (nothing is read ahead).
    [[nodiscard]] bool Load(const Context& ctx);
    // Writes back every file and action looked up, added or removed since
    // Load. False when that or any lookup failed: the transaction must not
    // commit then.
    [[nodiscard]] bool Save(const Context& ctx);

    // Null when the file has no HSM state yet.
    FileHsm* FindFile(const std::string& fs, const lu_fid& fid);
    // The file's state, made empty when it has none.
    FileHsm& File(const std::string& fs, const lu_fid& fid);

    // The actions of one file, oldest first.
    std::vector<Action*> ActionsOf(const std::string& fs, const lu_fid& fid);
    // The oldest waiting actions of fs that want makes true, with the other
    // waiting ones of its request for the same archive, oldest first.
    template <typename Want>
    std::vector<Action*> NextRequest(const std::string& fs, Want want);
    // The copytools that hold started actions ("<pid>.<number>").
    std::vector<std::string> Owners();
    // Puts owner's started actions back in the queue.
    void Requeue(const std::string& owner);

    void AddAction(const Action& action);
    Action* FindAction(unsigned long long cookie);
    void RemoveAction(unsigned long long cookie);

    // Cookies start at the time of the first request, as the coordinator's
    // do; compound ids at 1.
    unsigned long long NextCookie();
    unsigned long long NextCompound() { return NextCounter("compound", 1); }

private:
    using FileKey = std::tuple<std::string, unsigned long long, unsigned>;
    unsigned long long NextCounter(const char* name, unsigned long long first);
    Action* Cache(Query& q);
    std::vector<Action*> ReadActions(Query& q);
    // The first waiting action of fs with a cookie above after (-1: any).
    Action* WaitingHead(const std::string& fs, int64_t& after);

    StateDb* m_db = nullptr;
    std::map<FileKey, FileHsm> m_files;
    std::map<FileKey, bool> m_missing;  // looked up, none stored
    std::map<unsigned long long, Action> m_actions;
    std::vector<unsigned long long> m_removed;
};

template <typename Want>
std::vector<Action*> HsmStore::NextRequest(const std::string& fs, Want want)
{
    int64_t after = -1;
    for (Action* head; (head = WaitingHead(fs, after)) != nullptr;) {
        if (!want(*head)) continue;
        Query q(*m_db,
                "SELECT * FROM hsm_action WHERE fs = ?1 AND started = 0 AND compound = ?2 AND archive_id = ?3 "
                "ORDER BY cookie");
        q.Bind(1, fs).BindU(2, head->compound).Bind(3, head->archiveId);
        return ReadActions(q);
    }
    return {};
}

bool SameFid(const lu_fid& a, const lu_fid& b);

}  // namespace sim::lib
