// The listing parsers on large outputs, as time per line, through the
// scripted runner (tests/fuzz/FakeZqProcess.h) so that no process runs.
// Floor: the same output split into lines, as RunCommand must do anyway.
#include <list>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "FakeZqProcess.h"
#include "KxUtils.h"
#include "LustreAPI.h"

namespace {

constexpr int kReaders = 10000;
constexpr int kMdts = 1000;

class SilentWriter : public LogWriter {
public:
    int GetLevel() override { return -1; }
    void Log(int, const char*, int, int, int, const char*, ...) override {}
};

// The Lustre 2.12 listing: index line, heading, one line per reader.
std::string ReaderListing()
{
    std::string text = "mdd.lustre-MDT0000.changelog_users=\ncurrent index: 987654\nID    index (idle seconds)\n";
    for (int i = 1; i <= kReaders; ++i) text += HBString::Format("cl%-3d %d (%d)\n", i, 1000 + i, i % 600);
    return text;
}

std::string MdtListing()
{
    std::string text;
    for (int i = 0; i < kMdts; ++i)
        text += HBString::Format("mdc.lustre-MDT%04x-mdc-ffff8803f0d41000.mds_conn_uuid=10.0.%d.%d@tcp\n", i, i / 250,
                                 i % 250);
    return text;
}

void PerLine(benchmark::State& state, int lines)
{
    state.counters["per_line"] = benchmark::Counter(
        static_cast<double>(lines), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void Script(const std::string& out)
{
    static SilentWriter writer;
    g_ptrLogWriter = &writer;
    zq_fake_set_reply(0, out.data(), out.size(), "", 0);
}

void ReaderListing_Library(benchmark::State& state)
{
    Script(ReaderListing());
    const std::string reader = "cl" + std::to_string(kReaders);
    for (auto _ : state) {
        std::string start, end;
        if (LustreAPI::GetStartAndEndChangelogRecordNumbers("mds1", "lustre-MDT0000", "lustre", "root", reader, start,
                                                            end)
                .Failed())
            return state.SkipWithError("listing not read");
        benchmark::DoNotOptimize(start.data());
    }
    PerLine(state, kReaders + 3);
}

void ReaderListing_Floor(benchmark::State& state)
{
    const std::string text = ReaderListing();
    for (auto _ : state) {
        std::list<std::string> lines;
        HBString::Split(text, "\n", lines, 0);
        benchmark::DoNotOptimize(lines.size());
    }
    PerLine(state, kReaders + 3);
}

void MdtListing_Library(benchmark::State& state)
{
    Script(MdtListing());
    for (auto _ : state) {
        std::vector<std::string> names, servers;
        if (LustreAPI::GetMDTList("lustre", names, servers).Failed() || names.size() != kMdts)
            return state.SkipWithError("listing not read");
    }
    PerLine(state, kMdts);
}

void MdtListing_Floor(benchmark::State& state)
{
    const std::string text = MdtListing();
    for (auto _ : state) {
        std::list<std::string> lines;
        HBString::Split(text, "\n", lines, 0);
        benchmark::DoNotOptimize(lines.size());
    }
    PerLine(state, kMdts);
}

}  // namespace

BENCHMARK(ReaderListing_Library);
BENCHMARK(ReaderListing_Floor);
BENCHMARK(MdtListing_Library);
BENCHMARK(MdtListing_Floor);
