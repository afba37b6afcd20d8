#ifndef DELTAPATCH_ENSEMBLEPATCHGENERATOR_H
#define DELTAPATCH_ENSEMBLEPATCHGENERATOR_H

#include <cstddef>
#include <cstdint>

#include "patchstatus.h"

namespace deltapatch {

class WriteStream;

// An executable that sits in both files: kind 1..7, its range in the old file
// and its range in the new one.
struct EnsembleElementPair
{
    uint32_t kind;
    uint32_t oldOffset;
    uint32_t oldLength;
    uint32_t newOffset;
    uint32_t newLength;
};

// Appends to patch an ensemble patch that turns old into new, running the
// applier's own steps on both files so that the applier rebuilds exactly the
// new file. Files are limited to 0x7FFFFFFF bytes.
PatchStatus CreateEnsemblePatch(const uint8_t* oldBytes, size_t oldLength, const uint8_t* newBytes, size_t newLength,
                                const EnsembleElementPair* pairs, size_t pairCount, WriteStream* patch);

// As above, pairing the two files as whole executables when both are
// recognised as the same kind; otherwise the patch is a plain byte-diff.
PatchStatus GenerateEnsemblePatch(const uint8_t* oldBytes, size_t oldLength, const uint8_t* newBytes, size_t newLength,
                                  WriteStream* patch);

// File form of GenerateEnsemblePatch for publisher tooling.
PatchStatus GenerateEnsemblePatchFiles(const char* oldPath, const char* newPath, const char* patchPath);

} // namespace deltapatch

#endif
