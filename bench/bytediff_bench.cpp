// CreateDiff + ApplyDiff against zstd --patch-from and xdelta3 on one real
// old/new executable pair, named by QND_DIFF_OLD and QND_DIFF_NEW. Counter
// patch_bytes is the patch size; the time of the *Apply* benchmarks is the
// apply time (the peers' includes starting their process).
#include "benchfiles.h"
#include "bytediff.h"
#include "streams.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

using bench::FilePair;
using bench::ReadFileBytes;

const FilePair& ThePair()
{
    static const FilePair pair = bench::ReadFilePair("QND_DIFF_OLD", "QND_DIFF_NEW");
    return pair;
}

bool Usable(benchmark::State& state)
{
    return bench::Usable(ThePair(), state);
}

Bytes MakeStage(int method)
{
    const FilePair& p = ThePair();
    deltapatch::ReadStream oldStream(p.oldBytes.data(), p.oldBytes.size());
    deltapatch::ReadStream newStream(p.newBytes.data(), p.newBytes.size());
    deltapatch::WriteStream sink;
    if (!deltapatch::CreateDiff(&oldStream, &newStream, &sink, false, method))
        return Bytes();
    return Bytes(sink.Data(), sink.Data() + sink.Size());
}

void BM_CreateDiff(benchmark::State& state)
{
    if (!Usable(state))
        return;
    size_t size = 0;
    for (auto _ : state)
        size = MakeStage(static_cast<int>(state.range(0))).size();
    state.counters["patch_bytes"] = static_cast<double>(size);
}

void BM_ApplyDiff(benchmark::State& state)
{
    if (!Usable(state))
        return;
    const FilePair& p = ThePair();
    Bytes stage = MakeStage(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        deltapatch::ReadStream oldStream(p.oldBytes.data(), p.oldBytes.size());
        deltapatch::ReadStream diff(stage.data(), stage.size());
        deltapatch::WriteStream output;
        if (!deltapatch::ApplyDiff(&oldStream, &diff, &output, false) || output.Size() != p.newBytes.size()) {
            state.SkipWithError("ApplyDiff failed");
            return;
        }
    }
    state.counters["patch_bytes"] = static_cast<double>(stage.size());
}

std::string TempPath(const std::string& name)
{
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/qnd_bytediff_bench_" + name;
}

long FileSize(const std::string& path)
{
    return static_cast<long>(ReadFileBytes(path).size());
}

bool Run(const std::string& command)
{
    return std::system((command + " > /dev/null 2>&1").c_str()) == 0;
}

// The command with {old}, {new}, {patch} and {out} replaced by the pair's
// files and the peer's own.
std::string Filled(std::string command, const std::string& patch, const std::string& out)
{
    const FilePair& p = ThePair();
    const std::pair<std::string, std::string> names[] = {
        {"{old}", p.oldPath}, {"{new}", p.newPath}, {"{patch}", patch}, {"{out}", out}};
    for (const auto& name : names) {
        for (size_t at = command.find(name.first); at != std::string::npos;
             at = command.find(name.first, at + name.second.size()))
            command.replace(at, name.first.size(), name.second);
    }
    return command;
}

// Creates the peer's patch once, then times applying it.
void PeerApply(benchmark::State& state, const std::string& peer, const std::string& createCommand,
               const std::string& applyCommand)
{
    if (!Usable(state))
        return;
    const std::string patch = TempPath(peer + ".patch");
    const std::string out = TempPath(peer + ".out");
    const std::string create = Filled(createCommand, patch, out);
    const std::string apply = Filled(applyCommand, patch, out);
    if (!Run(create)) {
        state.SkipWithError(("failed: " + create).c_str());
        return;
    }
    for (auto _ : state) {
        if (!Run(apply)) {
            state.SkipWithError(("failed: " + apply).c_str());
            return;
        }
    }
    if (ReadFileBytes(out) != ThePair().newBytes)
        state.SkipWithError("peer output differs from the new file");
    state.counters["patch_bytes"] = static_cast<double>(FileSize(patch));
    std::remove(patch.c_str());
    std::remove(out.c_str());
}

void BM_ZstdPatchFromApply(benchmark::State& state)
{
    // --long covers inputs above zstd's default window.
    PeerApply(state, "zstd", "zstd -q -f -19 --long=30 --patch-from='{old}' '{new}' -o '{patch}'",
              "zstd -q -f -d --long=30 --patch-from='{old}' '{patch}' -o '{out}'");
}

void BM_Xdelta3Apply(benchmark::State& state)
{
    PeerApply(state, "xdelta3", "xdelta3 -f -9 -e -s '{old}' '{new}' '{patch}'",
              "xdelta3 -f -d -s '{old}' '{patch}' '{out}'");
}

} // namespace

BENCHMARK(BM_CreateDiff)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyDiff)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZstdPatchFromApply)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Xdelta3Apply)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
