// A small HSM copytool, as a host writes one on LustreAPI: it registers for
// one archive, receives the coordinator's action lists, copies each file to
// archive into a directory of its own (one file per FID), reporting progress
// as it goes, and tells Lustre when each copy ends.
#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "DemoReport.h"
#include "LustreAPI.h"

namespace demo {

struct ArchivedFile {
    lu_fid fid{};
    std::string copy;  // the archive's copy of the file
    unsigned long long bytes = 0;
};

class Copytool {
public:
    Copytool(Report& report, std::string archiveDir) : m_report(report), m_archiveDir(std::move(archiveDir)) {}
    // Unregisters when still registered (after a failed step).
    ~Copytool();
    Copytool(const Copytool&) = delete;
    Copytool& operator=(const Copytool&) = delete;

    // HSMRegister for archiveId on mount, with a non-blocking receive so the
    // demo can never wait forever.
    bool Register(const std::string& mount, int archiveId);
    // Receives and archives until `actions` archive actions are done or
    // `patience` has passed without all of them. Every action ends with
    // HSMActionEnd, successful or not.
    bool Serve(size_t actions, std::chrono::seconds patience, std::vector<ArchivedFile>& archived);
    bool Unregister();

private:
    bool Archive(const hsm_action_item& item, ArchivedFile& archived);

    Report& m_report;
    std::string m_archiveDir;
    hsm_copytool_private* m_ct = nullptr;
};

// "[0x200000400:0x1:0x0]"
std::string FidText(const lu_fid& fid);

}  // namespace demo
