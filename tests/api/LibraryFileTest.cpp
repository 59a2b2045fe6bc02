// The built libLustreAPI.so as a file: what it needs, what it exports and
// the version section it carries.
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

const char* const kLibrary = LUSTREAPI_FILE;

// Runs a command line; its standard output, or false when it fails.
bool RunTool(const std::string& command, std::string& output)
{
    const testsupport::Outcome outcome = testsupport::Shell(command);
    output = outcome.out;
    return outcome.status == 0;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(ApiLibraryFile, NeedsTheHostLibrariesButNeverLustre)
{
    std::string dynamic;
    if (!RunTool(std::string("readelf -d ") + kLibrary, dynamic)) GTEST_SKIP() << "readelf is not available";
    EXPECT_NE(dynamic.find("Library soname: [libLustreAPI.so.1]"), std::string::npos) << dynamic;
    EXPECT_NE(dynamic.find("Shared library: [libKxUtils.so.1]"), std::string::npos) << dynamic;
    for (const std::string& line : Lines(dynamic)) {
        if (line.find("(NEEDED)") != std::string::npos) {
            EXPECT_EQ(line.find("lustreapi"), std::string::npos) << line;
        }
    }
}

TEST(ApiLibraryFile, ExportsOnlyTheNamespace)
{
    std::string symbols;
    if (!RunTool(std::string("nm -D --defined-only -C ") + kLibrary, symbols)) GTEST_SKIP() << "nm is not available";
    int exported = 0;
    for (const std::string& line : Lines(symbols)) {
        if (line.empty()) continue;
        ++exported;
        EXPECT_NE(line.find("LustreAPI::"), std::string::npos) << line;
    }
    EXPECT_GE(exported, 17);  // at least the operations of the binding, HSM and FID families
    EXPECT_NE(symbols.find("LustreAPI::LoadFunctions()"), std::string::npos);
    EXPECT_NE(symbols.find("vtable for LustreAPI::CLustreFID"), std::string::npos);
}

TEST(ApiLibraryFile, CarriesANonLoadedVersionSection)
{
    const testsupport::TempDir dir;
    std::string ignored;
    ASSERT_TRUE(RunTool("objcopy --dump-section ZqVersion=" + dir / "section" + " " + kLibrary + " /dev/null", ignored))
        << "objcopy found no ZqVersion section";
    const std::string text = testsupport::ReadFile(dir / "section");
    const std::regex shape(std::string("^") + std::regex_replace(PROJECT_VERSION_TEXT, std::regex("\\."), "\\.") +
                           R"( (0[1-9]|1[0-2])/(0[1-9]|[12]\d|3[01])/\d\d ([01]\d|2[0-3]):[0-5]\d:[0-5]\d\n$)");
    EXPECT_TRUE(std::regex_match(text, shape)) << "\"" << text << "\"";

    // Not loaded: no A(lloc) among the section's flags (Name Type Address
    // Off Size ES [Flg] Lk Inf Al: the flags column is absent when empty).
    std::string sections;
    ASSERT_TRUE(RunTool(std::string("readelf -S -W ") + kLibrary, sections));
    const std::regex header(R"(\]\s+ZqVersion\s+\S+\s+\S+\s+\S+\s+\S+\s+\S+\s+([A-Za-z]*)\s*\d+\s+\d+\s+\d+\s*$)");
    std::smatch flags;
    bool found = false;
    for (const std::string& line : Lines(sections)) {
        if (!std::regex_search(line, flags, header)) continue;
        found = true;
        EXPECT_EQ(flags[1].str().find('A'), std::string::npos) << line;
    }
    EXPECT_TRUE(found) << sections;
}

}  // namespace
