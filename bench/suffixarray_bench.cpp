// BuildSuffixArray against libdivsufsort on the same inputs, same run.
#include "suffixarray.h"

#include <benchmark/benchmark.h>
#include <divsufsort.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

enum Kind { kRandom, kZero, kPeriodic };

std::vector<uint8_t> MakeInput(int64_t mib, int kind)
{
    std::vector<uint8_t> text(static_cast<size_t>(mib) << 20);
    if (kind == kRandom) {
        std::mt19937 rng(42);
        for (auto& c : text)
            c = static_cast<uint8_t>(rng());
    } else if (kind == kPeriodic) {
        // A 1000-byte random period: long repeats, deep recursion.
        std::mt19937 rng(43);
        std::vector<uint8_t> period(1000);
        for (auto& c : period)
            c = static_cast<uint8_t>(rng());
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = period[i % period.size()];
    }
    return text;
}

void SetLabel(benchmark::State& state)
{
    static const char* const kNames[] = {"random", "zero", "periodic"};
    state.SetLabel(kNames[state.range(1)]);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (state.range(0) << 20));
}

void BM_BuildSuffixArray(benchmark::State& state)
{
    std::vector<uint8_t> text = MakeInput(state.range(0), static_cast<int>(state.range(1)));
    std::vector<int32_t> sa(text.size());
    for (auto _ : state) {
        int32_t rc = deltapatch::BuildSuffixArray(text.data(), sa.data(), static_cast<int32_t>(text.size()));
        benchmark::DoNotOptimize(rc);
        benchmark::ClobberMemory();
    }
    SetLabel(state);
}

void BM_Divsufsort(benchmark::State& state)
{
    std::vector<uint8_t> text = MakeInput(state.range(0), static_cast<int>(state.range(1)));
    std::vector<saidx_t> sa(text.size());
    for (auto _ : state) {
        saint_t rc = divsufsort(text.data(), sa.data(), static_cast<saidx_t>(text.size()));
        benchmark::DoNotOptimize(rc);
        benchmark::ClobberMemory();
    }
    SetLabel(state);
}

} // namespace

// Each input runs ours and the peer back to back, so that both see the same
// load on a shared machine.
int main(int argc, char** argv)
{
    for (int64_t mib : {1, 16, 64}) {
        for (int64_t kind : {kRandom, kZero, kPeriodic}) {
            benchmark::RegisterBenchmark("BM_BuildSuffixArray", BM_BuildSuffixArray)
                ->Args({mib, kind})
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark("BM_Divsufsort", BM_Divsufsort)
                ->Args({mib, kind})
                ->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
