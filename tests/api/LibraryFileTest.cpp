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

    const std::regex shape(R"(^(\d+)\.(\d+)\.(\d+)\.(\d+) (\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d)\n$)");
    std::smatch parts;
    const std::string text = testsupport::ReadFile(dir / "section");
    ASSERT_TRUE(std::regex_match(text, parts, shape)) << "\"" << text << "\"";
    EXPECT_EQ(text.substr(0, text.find(' ')), PROJECT_VERSION_TEXT);
    const int month = std::stoi(parts[5]), day = std::stoi(parts[6]);
    const int hour = std::stoi(parts[8]), minute = std::stoi(parts[9]), second = std::stoi(parts[10]);
    EXPECT_TRUE(month >= 1 && month <= 12 && day >= 1 && day <= 31) << text;
    EXPECT_TRUE(hour <= 23 && minute <= 59 && second <= 60) << text;

    // Not loaded: the section header has no A(lloc) flag.
    std::string sections;
    ASSERT_TRUE(RunTool(std::string("readelf -S -W ") + kLibrary, sections));
    bool found = false;
    for (const std::string& line : Lines(sections)) {
        std::istringstream fields(line.substr(line.find(']') == std::string::npos ? 0 : line.find(']') + 1));
        std::vector<std::string> f;
        for (std::string field; fields >> field;) f.push_back(field);
        if (f.empty() || f[0] != "ZqVersion") continue;
        found = true;
        // Name Type Address Off Size ES [Flg] Lk Inf Al: the flags column is
        // absent when the section has no flags at all.
        ASSERT_TRUE(f.size() == 9 || f.size() == 10) << line;
        if (f.size() == 10) {
            EXPECT_EQ(f[6].find('A'), std::string::npos) << line;
        }
    }
    EXPECT_TRUE(found) << sections;
}

}  // namespace
