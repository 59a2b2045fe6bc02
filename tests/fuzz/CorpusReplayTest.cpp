// Replays every initial corpus file and every recorded finding through the
// fuzz entry functions, so that the normal (and sanitizer) test runs hold
// what fuzzing once proved. An entry aborts on a broken invariant.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "FuzzTargets.h"
#include "TestSupport.h"

namespace {

// Replays the files of dir/<target name>; returns how many there were.
size_t Replay(const fuzz::Target& t, const std::string& dir)
{
    size_t files = 0;
    std::error_code none;  // a target without findings has no directory
    for (const auto& entry : std::filesystem::directory_iterator(dir + "/" + t.name, none)) {
        SCOPED_TRACE(entry.path().string());
        const std::string bytes = testsupport::ReadFile(entry.path().string());
        EXPECT_EQ(0, t.entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        ++files;
    }
    return files;
}

TEST(CorpusReplay, CorporaAndRecordedFindingsKeepTheInvariants)
{
    size_t findings = 0;
    for (const fuzz::Target* t = fuzz::kTargets; t != fuzz::kTargets + fuzz::kTargetCount; ++t) {
        SCOPED_TRACE(t->name);
        EXPECT_GE(Replay(*t, FUZZ_CORPUS_DIR), 3u) << "corpus of " << t->name << " went missing";
        findings += Replay(*t, FUZZ_REGRESSION_DIR);
    }
    EXPECT_GE(findings, 1u) << "the recorded findings went missing";
}

}  // namespace
