// The FID text constructor against sscanf with the text form's format, and
// the text form (as the library makes it, HBString::Format) against snprintf.
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "KxUtils.h"
#include "LustreAPI.h"

namespace {

const std::string kText = "[0x200000400:0x1c:0x0]";

void FidParse_Library(benchmark::State& state)
{
    for (auto _ : state) {
        LustreAPI::CLustreFID fid(kText);
        benchmark::DoNotOptimize(fid.m_seq);
    }
}

void FidParse_Floor(benchmark::State& state)
{
    for (auto _ : state) {
        unsigned long long seq = 0;
        unsigned int oid = 0, ver = 0;
        benchmark::DoNotOptimize(std::sscanf(kText.c_str(), "[0x%llx:0x%x:0x%x]", &seq, &oid, &ver));
        benchmark::DoNotOptimize(seq);
    }
}

// The constructor's own steps written inline: copy, Trim, Split, the three
// conversions. What the constructor costs beyond sscanf is what these cost.
void FidParse_Steps(benchmark::State& state)
{
    for (auto _ : state) {
        std::string text = kText;
        HBString::Trim(text, "[]");
        std::vector<std::string> pieces;
        HBString::Split(text, ":", pieces, 0);
        unsigned long long seq = std::stoull(pieces[0], nullptr, 0);
        unsigned int oid = static_cast<unsigned int>(std::stoul(pieces[1], nullptr, 0));
        unsigned int ver = static_cast<unsigned int>(std::stoul(pieces[2], nullptr, 0));
        benchmark::DoNotOptimize(seq + oid + ver);
    }
}

void FidFormat_Library(benchmark::State& state)
{
    LustreAPI::CLustreFID fid(kText);
    for (auto _ : state) {
        std::string text = HBString::Format("[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver);
        benchmark::DoNotOptimize(text.data());
    }
}

void FidFormat_Floor(benchmark::State& state)
{
    LustreAPI::CLustreFID fid(kText);
    for (auto _ : state) {
        char text[64];
        benchmark::DoNotOptimize(
            std::snprintf(text, sizeof text, "[0x%llx:0x%x:0x%x]", fid.m_seq, fid.m_oid, fid.m_ver));
        benchmark::DoNotOptimize(text);
    }
}

}  // namespace

BENCHMARK(FidParse_Library);
BENCHMARK(FidParse_Floor);
BENCHMARK(FidParse_Steps);
BENCHMARK(FidFormat_Library);
BENCHMARK(FidFormat_Floor);
