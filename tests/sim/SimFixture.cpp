#include "SimFixture.h"

#include <filesystem>

namespace simtest {

std::string SimTest::MakeDir(const std::string& rel)
{
    std::filesystem::create_directories(mnt + "/" + rel);
    return mnt + "/" + rel;
}

lu_fid SimTest::FidOf(const std::string& path)
{
    lu_fid fid{};
    EXPECT_EQ(api.path2fid(path.c_str(), &fid), 0) << path;
    return fid;
}

int SimTest::RunHelper(const std::vector<std::string>& args, std::string& out)
{
    std::vector<std::string> argv = {LUSTRE_SIM_HELPER};
    argv.insert(argv.end(), args.begin(), args.end());
    const testsupport::Outcome outcome = testsupport::Run(argv);
    out = outcome.out;
    return outcome.status;
}

}  // namespace simtest

bool operator==(const lu_fid& a, const lu_fid& b)
{
    return a.f_seq == b.f_seq && a.f_oid == b.f_oid && a.f_ver == b.f_ver;
}

void PrintTo(const lu_fid& fid, std::ostream* os) { *os << simtest::FidText(fid); }
