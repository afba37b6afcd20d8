// Inputs of the benchmarks: whole files, and the old/new pair of real files
// that the pair benchmarks measure, named by two environment variables.
#ifndef QND_BENCH_BENCHFILES_H
#define QND_BENCH_BENCHFILES_H

#include "support/filebytes.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {

// Whole files, read as the engine's tests read them.
using testsupport::ReadFileBytes;

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
    pair.oldBytes = ReadFileBytes(oldPath);
    pair.newBytes = ReadFileBytes(newPath);
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
