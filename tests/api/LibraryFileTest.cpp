// The built libLustreAPI.so as a file: what it needs, what it exports and
// the version section it carries.
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

const std::string kLibrary = LUSTREAPI_FILE;

// The lines a command line writes; none when it fails.
std::vector<std::string> Lines(const std::string& command)
{
    const testsupport::Outcome outcome = testsupport::Shell(command);
    std::vector<std::string> lines;
    std::istringstream in(outcome.out);
    for (std::string line; outcome.status == 0 && std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(ApiLibraryFile, NeedsTheHostLibrariesButNeverLustre)
{
    const std::vector<std::string> dynamic = Lines("readelf -d " + kLibrary);
    if (dynamic.empty()) GTEST_SKIP() << "readelf is not available";
    std::string needed;
    for (const std::string& line : dynamic)
        if (line.find("(NEEDED)") != std::string::npos || line.find("(SONAME)") != std::string::npos)
            needed += line.substr(line.find('[')) + " ";
    EXPECT_NE(needed.find("[libLustreAPI.so.1]"), std::string::npos) << needed;
    EXPECT_NE(needed.find("[libKxUtils.so.1]"), std::string::npos) << needed;
    EXPECT_EQ(needed.find("lustreapi"), std::string::npos) << needed;
}

TEST(ApiLibraryFile, ExportsOnlyTheNamespace)
{
    const std::vector<std::string> symbols = Lines("nm -D --defined-only -C " + kLibrary);
    if (symbols.empty()) GTEST_SKIP() << "nm is not available";
    std::string all;
    for (const std::string& line : symbols) {
        EXPECT_NE(line.find("LustreAPI::"), std::string::npos) << line;
        all += line + "\n";
    }
    EXPECT_GE(symbols.size(), 17u);  // at least the operations of the binding, HSM and FID families
    EXPECT_NE(all.find("LustreAPI::LoadFunctions()"), std::string::npos);
    EXPECT_NE(all.find("vtable for LustreAPI::CLustreFID"), std::string::npos);
}

TEST(ApiLibraryFile, CarriesANonLoadedVersionSection)
{
    const testsupport::TempDir dir;
    ASSERT_EQ(
        testsupport::Shell("objcopy --dump-section ZqVersion=" + dir / "section " + kLibrary + " /dev/null").status, 0)
        << "objcopy found no ZqVersion section";
    const std::string text = testsupport::ReadFile(dir / "section");
    const std::regex shape(std::string("^") + std::regex_replace(PROJECT_VERSION_TEXT, std::regex("\\."), "\\.") +
                           R"( (0[1-9]|1[0-2])/(0[1-9]|[12]\d|3[01])/\d\d ([01]\d|2[0-3]):[0-5]\d:[0-5]\d\n$)");
    EXPECT_TRUE(std::regex_match(text, shape)) << "\"" << text << "\"";

    // Not loaded: no A(lloc) among the section's flags (Name Type Address
    // Off Size ES [Flg] Lk Inf Al: the flags column is absent when empty).
    const std::regex header(R"(\]\s+ZqVersion\s+\S+\s+\S+\s+\S+\s+\S+\s+\S+\s+([A-Za-z]*)\s*\d+\s+\d+\s+\d+\s*$)");
    std::smatch flags;
    int found = 0;
    for (const std::string& line : Lines("readelf -S -W " + kLibrary)) {
        if (!std::regex_search(line, flags, header)) continue;
        ++found;
        EXPECT_EQ(flags[1].str().find('A'), std::string::npos) << line;
    }
    EXPECT_EQ(found, 1);
}

}  // namespace
