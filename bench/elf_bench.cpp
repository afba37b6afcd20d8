// Throughput and peak memory of an ELF element's two directions on a large
// real shared library: disassemble + encode (what the patch generator and
// the updater's Transform do) and read + assemble (the updater's
// Untransform). Override the library with QND_BENCH_ELF.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "benchfiles.h"
#include "disassembledprogram.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "streams.h"

using namespace deltapatch;

namespace {

const std::vector<uint8_t>& Library()
{
    static const std::vector<uint8_t> bytes = [] {
        const char* path = std::getenv("QND_BENCH_ELF");
        return bench::ReadFileBytes(path ? path : "/usr/lib/x86_64-linux-gnu/libQt5Widgets.so.5");
    }();
    return bytes;
}

// Flat streams of the library's encoded program, or empty on failure.
std::vector<uint8_t> Encode(const std::vector<uint8_t>& file)
{
    std::unique_ptr<Disassembler> parser(SelectDisassembler(file.data(), file.size()));
    if (!parser)
        return {};
    DisassembledProgram program(parser->kind());
    if (!parser->Disassemble(&program) || !program.TrimLabels())
        return {};
    std::unique_ptr<EncodedProgram> encoded(program.EncodeProgram());
    if (!encoded)
        return {};
    WriteStreamSet set;
    WriteStream flat;
    if (WriteEncodedProgram(encoded.get(), &set) != StatusOk || !set.CopyTo(&flat))
        return {};
    return std::vector<uint8_t>(flat.Data(), flat.Data() + flat.Size());
}

// The same, computed in a child process so that the encoder's memory does
// not count towards the reader's peak.
std::vector<uint8_t> EncodeElsewhere(const std::vector<uint8_t>& file)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::vector<uint8_t> streams = Encode(file);
        size_t done = 0;
        while (done < streams.size()) {
            ssize_t n = write(fds[1], streams.data() + done, streams.size() - done);
            if (n <= 0)
                _exit(1);
            done += size_t(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::vector<uint8_t> streams;
    uint8_t chunk[65536];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof(chunk))) > 0)
        streams.insert(streams.end(), chunk, chunk + n);
    close(fds[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    return streams;
}

void ReportMemory(benchmark::State& state, size_t fileSize)
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const double peak = double(usage.ru_maxrss) * 1024.0;
    state.counters["peak_rss_MB"] = peak / (1024.0 * 1024.0);
    state.counters["peak_rss_per_file"] = peak / double(fileSize);
    state.counters["file_MB"] = double(fileSize) / (1024.0 * 1024.0);
}

void BM_DisassembleEncode(benchmark::State& state)
{
    const std::vector<uint8_t>& file = Library();
    if (file.empty()) {
        state.SkipWithError("no library to read");
        return;
    }
    for (auto _ : state) {
        std::vector<uint8_t> streams = Encode(file);
        if (streams.empty()) {
            state.SkipWithError("encoding failed");
            return;
        }
        benchmark::DoNotOptimize(streams.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size()));
    ReportMemory(state, file.size());
}
BENCHMARK(BM_DisassembleEncode)->Unit(benchmark::kMillisecond);

void BM_ReadAssemble(benchmark::State& state)
{
    const std::vector<uint8_t>& file = Library();
    const std::vector<uint8_t> streams = EncodeElsewhere(file);
    if (streams.empty()) {
        state.SkipWithError("no encoded library");
        return;
    }
    for (auto _ : state) {
        ReadStreamSet set;
        EncodedProgram* program = nullptr;
        if (!set.Init(streams.data(), streams.size()) || ReadEncodedProgram(&set, &program) != StatusOk) {
            state.SkipWithError("read failed");
            return;
        }
        WriteStream out;
        PatchStatus status = AssembleEncodedProgram(program, &out);
        DeleteEncodedProgram(program);
        if (status != StatusOk || out.Size() > file.size()
            || !std::equal(out.Data(), out.Data() + out.Size(), file.data())) {
            state.SkipWithError("assembly did not reproduce the library");
            return;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size()));
    ReportMemory(state, file.size());
}
BENCHMARK(BM_ReadAssemble)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
