// ParseChangelogRecord on the record shapes lfs prints, as time per record,
// against splitting the same lines at blanks (what any reading of them costs
// at least).
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "KxUtils.h"
#include "LustreAPI.h"

namespace {

const std::vector<std::string>& Lines()
{
    static const std::vector<std::string> lines = {
        "1 01CREAT 04:24:09.779203918 2024.08.20 0x0 t=[0x2000013a1:0x1:0x0] j=cp.0 ef=0xf u=0:0 nid=0@lo "
        "p=[0x200000007:0x1:0x0] testfile",
        "3 06UNLNK 15:15:41.305116815 2018.01.09 0x1 t=[0x200000402:0x2:0x0] ef=0xf u=500:500 "
        "nid=10.128.11.159@tcp p=[0x200000402:0x1:0x0] chloe.jpg",
        "2 08RENME 22:13:20.000000123 2023.11.14 0x0 t=[0:0x0:0x0] ef=0xf u=0:0 nid=0@lo p=[0x200000402:0x1:0x0] "
        "new name s=[0x200000402:0x7:0x0] sp=[0x200000402:0x2:0x0] old name",
        "12 11CLOSE 10:00:00.000000001 2025.01.01 0x42 t=[0x200000402:0x9:0x0] j=rsync.1000 ef=0xf u=1000:1000 "
        "nid=192.168.1.20@o2ib",
        "1 01CREAT 04:24:09.779203918 2024.08.20 0x0 t=[0x2000013a1:0x4:0x0] j=cp.0 p=[0x2000013a1:0x3:0x0] "
        "file with spaces",
    };
    return lines;
}

void PerRecord(benchmark::State& state)
{
    state.counters["per_line"] =
        benchmark::Counter(static_cast<double>(Lines().size()),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void RecordParse_Library(benchmark::State& state)
{
    LustreAPI::CChangelogRecord record;
    for (auto _ : state) {
        for (const std::string& line : Lines()) {
            if (LustreAPI::ParseChangelogRecord(line, record).Failed()) return state.SkipWithError("record not read");
            benchmark::DoNotOptimize(record.m_index);
        }
    }
    PerRecord(state);
}

void RecordParse_Floor(benchmark::State& state)
{
    for (auto _ : state) {
        for (const std::string& line : Lines()) {
            std::vector<std::string> pieces;
            HBString::Split(line, " ", pieces, 0);
            benchmark::DoNotOptimize(pieces.data());
        }
    }
    PerRecord(state);
}

}  // namespace

BENCHMARK(RecordParse_Library);
BENCHMARK(RecordParse_Floor);
