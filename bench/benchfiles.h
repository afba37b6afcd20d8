// Inputs of the benchmarks: whole files, and the old/new pair of real files
// that the pair benchmarks measure, named by two environment variables.
#ifndef QND_BENCH_BENCHFILES_H
#define QND_BENCH_BENCHFILES_H

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bench {

// Empty when the file is missing or unreadable.
inline std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct FilePair
{
    const char* oldVariable;
    const char* newVariable;
    std::string oldPath;
    std::string newPath;
    std::vector<uint8_t> oldBytes;
    std::vector<uint8_t> newBytes;
    bool ok = false; // both files named and not empty
};

inline FilePair ReadFilePair(const char* oldVariable, const char* newVariable)
{
    FilePair pair;
    pair.oldVariable = oldVariable;
    pair.newVariable = newVariable;
    const char* oldPath = std::getenv(oldVariable);
    const char* newPath = std::getenv(newVariable);
    if (!oldPath || !newPath)
        return pair;
    pair.oldPath = oldPath;
    pair.newPath = newPath;
    pair.oldBytes = ReadFile(oldPath);
    pair.newBytes = ReadFile(newPath);
    pair.ok = !pair.oldBytes.empty() && !pair.newBytes.empty();
    return pair;
}

// Skips the benchmark with a note on what to set unless the pair was read.
inline bool Usable(const FilePair& pair, benchmark::State& state)
{
    if (pair.ok)
        return true;
    state.SkipWithError(
        (std::string("set ") + pair.oldVariable + " and " + pair.newVariable + " to an old and a new executable")
            .c_str());
    return false;
}

} // namespace bench

#endif // QND_BENCH_BENCHFILES_H
