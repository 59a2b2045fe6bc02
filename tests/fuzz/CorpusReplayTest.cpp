// Replays every initial corpus file and every recorded finding through the
// fuzz entry functions, so that the normal (and sanitizer) test runs hold
// what fuzzing once proved. An entry aborts on a broken invariant.
#include <dirent.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakeZqProcess.h"
#include "FuzzTargets.h"
#include "LustreAPI.h"

namespace fuzz {
// Names the target in test output instead of dumping its bytes.
void PrintTo(const Target& t, std::ostream* os) { *os << t.name; }
}  // namespace fuzz

namespace {

std::vector<std::string> FilesIn(const std::string& dir)
{
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    return files;
}

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Replay(const fuzz::Target& t, const std::vector<std::string>& files)
{
    for (const auto& f : files) {
        SCOPED_TRACE(f);
        const std::string bytes = Read(f);
        EXPECT_EQ(0, t.entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    }
}

class CorpusReplay : public ::testing::TestWithParam<fuzz::Target> {};

TEST_P(CorpusReplay, InitialCorpusKeepsInvariants)
{
    const auto files = FilesIn(std::string(FUZZ_CORPUS_DIR) + "/" + GetParam().name);
    ASSERT_GE(files.size(), 3u) << "corpus of " << GetParam().name << " went missing";
    Replay(GetParam(), files);
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay,
                         ::testing::ValuesIn(fuzz::kTargets, fuzz::kTargets + fuzz::kTargetCount),
                         [](const auto& info) { return std::string(info.param.name); });

// Every finding fuzzing ever made, kept under regressions/<target>/.
TEST(CorpusReplay, RecordedFindingsStayFixed)
{
    size_t findings = 0;
    for (const fuzz::Target* t = fuzz::kTargets; t != fuzz::kTargets + fuzz::kTargetCount; ++t) {
        SCOPED_TRACE(t->name);
        const auto files = FilesIn(std::string(FUZZ_REGRESSION_DIR) + "/" + t->name);
        findings += files.size();
        Replay(*t, files);
    }
    EXPECT_GE(findings, 1u) << "the recorded findings went missing";
}

}  // namespace
