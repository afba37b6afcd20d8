// LZMA2 block decoding against `xz --format=raw -d` on the same raw stream.
// Compare the bytes_per_second of BM_DecodeLzma2Block/<data> with
// BM_XzRawDecode/<data> from the same run.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "benchfiles.h"
#include "lzmaioout.h"
#include "streams.h"

namespace {

using deltapatch::CompressBufferLzma2;
using deltapatch::DecodeLzma2Block;
using deltapatch::ReadStream;
using deltapatch::WriteStream;

typedef std::vector<uint8_t> Bytes;

struct Packed
{
    Bytes block;        // property, size, raw stream
    size_t streamStart; // offset of the raw LZMA2 stream in block
    uint64_t unpacked;
    uint64_t dictionary;
    std::string rawPath; // the raw stream alone, for xz
};

Bytes loadData(const std::string& name)
{
    if (name == "qt5core") {
        Bytes data = bench::ReadFileBytes("/usr/lib/x86_64-linux-gnu/libQt5Core.so.5");
        if (!data.empty())
            return data;
    }
    Bytes data(8u << 20);
    std::mt19937 rng(1);
    if (name == "random") {
        for (uint8_t& b : data)
            b = static_cast<uint8_t>(rng());
    } else if (name == "zeros") {
        data.assign(32u << 20, 0);
    } else {
        // Executable-like stand-in: short repeated records with varying fields.
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>((i % 16 < 4) ? rng() % 8 : (i * 13) >> 5);
    }
    return data;
}

std::map<std::string, Packed> cache;

const Packed& packed(const std::string& name)
{
    auto found = cache.find(name);
    if (found != cache.end())
        return found->second;
    Bytes data = loadData(name);
    WriteStream out;
    if (!CompressBufferLzma2(data.data(), data.size(), &out))
        std::abort();
    Packed p;
    p.block.assign(out.Data(), out.Data() + out.Size());
    ReadStream header(out.Data(), out.Size());
    uint8_t property = 0;
    uint32_t size = 0;
    header.Read(&property, 1);
    header.ReadVarint32(&size);
    p.streamStart = static_cast<size_t>(header.Current() - out.Data());
    p.unpacked = size;
    p.dictionary = property == 40 ? 0xFFFFFFFFu : (uint64_t(2 | (property & 1)) << (property / 2 + 11));
    char path[] = "/tmp/lzma2_benchXXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    if (write(fd, p.block.data() + p.streamStart, p.block.size() - p.streamStart) < 0)
        std::abort();
    close(fd);
    p.rawPath = path;
    return cache.emplace(name, p).first->second;
}

void BM_DecodeLzma2Block(benchmark::State& state, const std::string& name)
{
    const Packed& p = packed(name);
    for (auto _ : state) {
        ReadStream in(p.block.data(), p.block.size());
        WriteStream out;
        if (!DecodeLzma2Block(&in, &out) || out.Size() != p.unpacked)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.Data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * p.unpacked));
    state.counters["ratio"] = static_cast<double>(p.unpacked) / (p.block.size());
}

void BM_XzRawDecode(benchmark::State& state, const std::string& name)
{
    const Packed& p = packed(name);
    std::string command =
        "xz --format=raw --lzma2=dict=" + std::to_string(p.dictionary) + " -d -c '" + p.rawPath + "' > /dev/null";
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("xz failed");
        std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * p.unpacked));
}

void RegisterAll()
{
    for (const char* name : {"qt5core", "records", "random", "zeros"}) {
        benchmark::RegisterBenchmark((std::string("BM_DecodeLzma2Block/") + name).c_str(), BM_DecodeLzma2Block,
                                     std::string(name))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("BM_XzRawDecode/") + name).c_str(), BM_XzRawDecode, std::string(name))
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
}

} // namespace

int main(int argc, char** argv)
{
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const auto& entry : cache)
        std::remove(entry.second.rawPath.c_str());
    return 0;
}
