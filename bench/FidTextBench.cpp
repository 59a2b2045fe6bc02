// The FID text constructor against sscanf with the text form's format; the
// text form (as the library makes it, HBString::Format) and CLustreFID::Text
// against snprintf; std::hash<CLustreFID> against the usual combination of
// std::hash of the three fields.
#include <cstdio>
#include <functional>
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

// Text() against snprintf into a buffer of the caller's: what a host wrote
// by hand before, without the string that Text() returns.
void FidText_Library(benchmark::State& state)
{
    const LustreAPI::CLustreFID fid(kText);
    for (auto _ : state) {
        std::string text = fid.Text();
        benchmark::DoNotOptimize(text.data());
    }
}

// The FIDs of a changelog's worth of files: a few sequences, rising object
// ids, version 0, each hashed once per iteration.
std::vector<LustreAPI::CLustreFID> HashedFids()
{
    std::vector<LustreAPI::CLustreFID> fids;
    for (unsigned long long seq = 0x200000400; seq < 0x200000404; ++seq)
        for (unsigned oid = 1; oid <= 256; ++oid) fids.emplace_back(lu_fid{seq, oid, 0});
    return fids;
}

void FidHash_Library(benchmark::State& state)
{
    const std::vector<LustreAPI::CLustreFID> fids = HashedFids();
    const std::hash<LustreAPI::CLustreFID> hash;
    for (auto _ : state) {
        size_t sum = 0;
        for (const auto& fid : fids) sum += hash(fid);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(fids.size()));
}

// std::hash of each field, combined as hosts commonly combine hashes
// (boost's hash_combine).
void FidHash_Floor(benchmark::State& state)
{
    const std::vector<LustreAPI::CLustreFID> fids = HashedFids();
    const auto combine = [](size_t hash, size_t value) {
        return hash ^ (value + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2));
    };
    for (auto _ : state) {
        size_t sum = 0;
        for (const auto& fid : fids) {
            size_t h = std::hash<unsigned long long>()(fid.m_seq);
            h = combine(h, std::hash<unsigned>()(fid.m_oid));
            sum += combine(h, std::hash<unsigned>()(fid.m_ver));
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(fids.size()));
}

}  // namespace

BENCHMARK(FidParse_Library);
BENCHMARK(FidParse_Floor);
BENCHMARK(FidParse_Steps);
BENCHMARK(FidFormat_Library);
BENCHMARK(FidFormat_Floor);
BENCHMARK(FidText_Library);
BENCHMARK(FidHash_Library);
BENCHMARK(FidHash_Floor);
