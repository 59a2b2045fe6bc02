// The tools' exact output against the files under golden/. Each file holds
// header lines ("version V", any "setup COMMAND" run first whatever their
// result, "command COMMAND", "status N"; '#' starts a comment), then
// "=== stdout" with the expected bytes, then "=== stderr" with the rest.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <vector>

#include "ToolHarness.h"

namespace {

// File systems "lustre" (2 MDTs, on mds1 and mds2) and "lustre2", each
// mounted once; root may log in to both servers.
const char kCluster[] =
    "lustre-sim add-fs lustre --mdts 2 && lustre-sim add-fs lustre2 && lustre-sim mount lustre /mnt/lustre && "
    "lustre-sim mount lustre2 /mnt/lustre2 && lustre-sim add-mds lustre 0 mds1 192.168.0.1@tcp && "
    "lustre-sim add-mds lustre 1 mds2 192.168.0.2@tcp && lustre-sim allow-login root mds1 && "
    "lustre-sim allow-login root mds2 && lustre-sim set-time 1000000";

TEST(ToolGolden, OutputsMatchByteForByte)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(TOOLS_GOLDEN_DIR)) {
        SCOPED_TRACE(entry.path().filename().string());
        const std::string text = simtest::ReadFile(entry.path());
        const size_t out = text.find("=== stdout\n");
        const size_t err = text.find("\n=== stderr\n", out == std::string::npos ? 0 : out);
        ASSERT_TRUE(out != std::string::npos && err != std::string::npos);
        std::string version, command;
        std::vector<std::string> setup;
        int status = -1;
        std::istringstream header(text.substr(0, out));
        for (std::string line; std::getline(header, line);) {
            const std::string key = line.substr(0, line.find(' '));
            const std::string value = line.substr(key.size() + 1 < line.size() ? key.size() + 1 : line.size());
            if (key == "version") version = value;
            if (key == "setup") setup.push_back(value);
            if (key == "command") command = value;
            if (key == "status") status = std::stoi(value);
        }
        simtest::SimState sim(version);
        ASSERT_EQ(sim.Sh(kCluster).status, 0);
        for (const auto& step : setup) sim.Sh(step);
        const simtest::Outcome o = sim.Sh(command);
        EXPECT_EQ(o.out, text.substr(out + 11, err + 1 - (out + 11))) << command;
        EXPECT_EQ(o.err, text.substr(err + 12)) << command;
        EXPECT_EQ(o.status, status) << command;
        ++files;
    }
    EXPECT_GT(files, 0);
}

}  // namespace
