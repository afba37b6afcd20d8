// Ensemble patches from hostile bytes. The first byte picks the mode, the
// next two give the length of the base that follows; the rest is:
//   mode 0: a whole patch, applied as it is;
//   mode 1: a flat body stream set, wrapped in a header with the base's CRC
//           so that the fuzzer reaches past the CRC check;
//   mode 2: a new file; a patch generated from the base to it must rebuild
//           it exactly, and so must the element form when both files are
//           executables of one kind, whichever form the generator keeps.
#include <cstdint>
#include <cstring>

#include "computecrc32.h"
#include "fuzzinput.h"
#include "ensemblepatchapplier.h"
#include "ensemblepatchgenerator.h"
#include "executabledetection.h"
#include "lzmaioout.h"
#include "patchstatus.h"
#include "streams.h"

using namespace deltapatch;

namespace {

bool Known(PatchStatus status)
{
    switch (status) {
    case StatusOk:
    case StatusDiffFailed:
    case StatusPatchOpenFailed:
    case StatusReadWriteFailed:
    case StatusBadMagic:
    case StatusBadVersion:
    case StatusBadHeader:
    case StatusCrcMismatch:
    case StatusBadElementRange:
    case StatusStreamError:
    case StatusStreamNotConsumed:
    case StatusReadProgramFailed:
    case StatusNotRecognized:
    case StatusDisassemblyFailed:
    case StatusAssemblyFailed:
    case StatusTrimFailed: return true;
    }
    return false;
}

void Apply(const uint8_t* base, size_t baseLength, const uint8_t* patch, size_t patchLength)
{
    ReadStream oldStream(base, baseLength);
    ReadStream patchStream(patch, patchLength);
    WriteStream output;
    const PatchStatus status = ApplyEnsemblePatchStreams(&oldStream, &patchStream, &output);
    if (!Known(status) || (status != StatusOk && output.Size() != 0))
        __builtin_trap();
}

void Rebuilds(const uint8_t* base, size_t baseLength, const WriteStream& patch, const uint8_t* expected,
              size_t expectedLength)
{
    ReadStream oldStream(base, baseLength);
    ReadStream patchStream(patch.Data(), static_cast<size_t>(patch.Size()));
    WriteStream output;
    if (ApplyEnsemblePatchStreams(&oldStream, &patchStream, &output) != StatusOk || output.Size() != expectedLength
        || (expectedLength && std::memcmp(output.Data(), expected, expectedLength) != 0))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t mode = 0;
    if (!fuzz::TakeMode(data, size, 3, &mode) || size < 2)
        return 0;
    size_t baseLength = data[0] | size_t(data[1]) << 8;
    data += 2;
    size -= 2;
    if (baseLength > size)
        baseLength = size;
    const uint8_t* base = data;
    const uint8_t* rest = data + baseLength;
    const size_t restLength = size - baseLength;

    if (mode == 0) {
        Apply(base, baseLength, rest, restLength);
    } else if (mode == 1) {
        WriteStream patch;
        if (!patch.WriteVarint32(kEnsemblePatchMagic) || !patch.WriteVarint32(kEnsemblePatchVersion)
            || !patch.WriteVarint32(ComputeCrc32(base, baseLength)) || !patch.WriteVarint32(0)
            || !patch.WriteVarint32(static_cast<uint32_t>(restLength))
            || !CompressBufferLzma2(rest, restLength, &patch))
            __builtin_trap();
        Apply(base, baseLength, patch.Data(), static_cast<size_t>(patch.Size()));
    } else {
        WriteStream patch;
        if (GenerateEnsemblePatch(base, baseLength, rest, restLength, &patch) != StatusOk)
            __builtin_trap();
        Rebuilds(base, baseLength, patch, rest, restLength);
        ExecutableType oldKind = UNKNOWN;
        ExecutableType newKind = UNKNOWN;
        size_t oldDetected = 0;
        size_t newDetected = 0;
        if (DetectExecutable(base, baseLength, &oldKind, &oldDetected) == StatusOk
            && DetectExecutable(rest, restLength, &newKind, &newDetected) == StatusOk && oldKind == newKind) {
            const EnsembleElementPair pair = {static_cast<uint32_t>(oldKind), 0, static_cast<uint32_t>(oldDetected), 0,
                                              static_cast<uint32_t>(newDetected)};
            WriteStream elements;
            // An element that cannot be taken apart is reported; one that can
            // must round trip.
            if (CreateEnsemblePatch(base, baseLength, rest, restLength, &pair, 1, &elements) == StatusOk)
                Rebuilds(base, baseLength, elements, rest, restLength);
        }
    }
    return 0;
}
