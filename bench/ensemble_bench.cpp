// Ensemble patches and packed files on one real old/new executable pair named
// by QND_ENSEMBLE_OLD and QND_ENSEMBLE_NEW. Counter patch_bytes (packed_bytes)
// is the size of what is made; "Plain" variants store no elements, so their
// difference to the element variants is what disassembly buys.
#include "benchfiles.h"
#include "ensemblepatchapplier.h"
#include "ensemblepatchgenerator.h"
#include "executabledetection.h"
#include "streams.h"
#include "unpacklzmafile.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

using namespace deltapatch;
using Bytes = std::vector<uint8_t>;

const bench::FilePair& ThePair()
{
    static const bench::FilePair pair = bench::ReadFilePair("QND_ENSEMBLE_OLD", "QND_ENSEMBLE_NEW");
    return pair;
}

bool Usable(benchmark::State& state)
{
    return bench::Usable(ThePair(), state);
}

bool MakePatch(bool elements, WriteStream* patch)
{
    const bench::FilePair& p = ThePair();
    if (elements)
        return GenerateEnsemblePatch(p.oldBytes.data(), p.oldBytes.size(), p.newBytes.data(), p.newBytes.size(), patch)
            == StatusOk;
    return CreateEnsemblePatch(p.oldBytes.data(), p.oldBytes.size(), p.newBytes.data(), p.newBytes.size(), nullptr, 0,
                               patch)
        == StatusOk;
}

void BM_EnsembleCreate(benchmark::State& state)
{
    if (!Usable(state))
        return;
    uint64_t size = 0;
    for (auto _ : state) {
        WriteStream patch;
        if (!MakePatch(state.range(0) != 0, &patch)) {
            state.SkipWithError("patch not made");
            return;
        }
        size = patch.Size();
    }
    state.counters["patch_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_EnsembleCreate)->ArgName("elements")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_EnsembleApply(benchmark::State& state)
{
    if (!Usable(state))
        return;
    WriteStream patch;
    if (!MakePatch(state.range(0) != 0, &patch)) {
        state.SkipWithError("patch not made");
        return;
    }
    const bench::FilePair& p = ThePair();
    for (auto _ : state) {
        ReadStream oldStream(p.oldBytes.data(), p.oldBytes.size());
        ReadStream patchStream(patch.Data(), static_cast<size_t>(patch.Size()));
        WriteStream output;
        if (ApplyEnsemblePatchStreams(&oldStream, &patchStream, &output) != StatusOk) {
            state.SkipWithError("patch not applied");
            return;
        }
        benchmark::DoNotOptimize(output.Data());
    }
    state.counters["patch_bytes"] = static_cast<double>(patch.Size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * p.newBytes.size()));
}
BENCHMARK(BM_EnsembleApply)->ArgName("elements")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_PackedFileUnpack(benchmark::State& state)
{
    if (!Usable(state))
        return;
    const Bytes& input = ThePair().newBytes;
    WriteStream packed;
    if (!GenerateLzmaBuffer(input.data(), input.size(), state.range(0) != 0, &packed)) {
        state.SkipWithError("not packed");
        return;
    }
    for (auto _ : state) {
        ReadStream in(packed.Data(), static_cast<size_t>(packed.Size()));
        WriteStream output;
        if (!UnpackLzmaStream(&in, &output)) {
            state.SkipWithError("not unpacked");
            return;
        }
        benchmark::DoNotOptimize(output.Data());
    }
    state.counters["packed_bytes"] = static_cast<double>(packed.Size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_PackedFileUnpack)->ArgName("preprocess")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
