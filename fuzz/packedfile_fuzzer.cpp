// Packed files from hostile bytes. The first byte picks the mode:
//   mode 0: the rest is a whole packed file, unpacked without a bound and
//           under a cap as the packed product ini gets one (whose buffers
//           must never pass it);
//   mode 1: the rest is a directive-2 body (a flat stream set), wrapped in a
//           header and an LZMA2 block so that the fuzzer reaches the
//           programs and the diff;
//   mode 2: the rest is a file to pack with preprocessing; unpacking must
//           give it back exactly.
#include <cstdint>
#include <cstring>

#include "fuzzinput.h"
#include "lzmaioout.h"
#include "streams.h"
#include "unpacklzmafile.h"

using namespace deltapatch;

namespace {

// Small, so that the fuzzer meets it often; the updater's is 32 MiB.
const uint64_t kCap = 1u << 20;

void Unpack(const uint8_t* packed, size_t length)
{
    ReadStream input(packed, length);
    WriteStream output;
    if (!UnpackLzmaStream(&input, &output) && output.Size() != 0)
        __builtin_trap();
}

void UnpackCapped(const uint8_t* packed, size_t length)
{
    ReadStream input(packed, length);
    WriteStream output;
    const bool ok = UnpackLzmaStream(&input, &output, kCap);
    if ((!ok && output.Size() != 0) || output.Size() > kCap || output.Capacity() > kCap)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t mode = 0;
    if (!fuzz::TakeMode(data, size, 3, &mode))
        return 0;
    if (mode == 0) {
        UnpackCapped(data, size);
        Unpack(data, size);
    } else if (mode == 1) {
        WriteStream packed;
        if (!packed.WriteVarint32(kLzmaFileMagic) || !packed.WriteVarint32(0)
            || !packed.WriteVarint32(kLzmaDirectivePreprocessed) || !CompressBufferLzma2(data, size, &packed))
            __builtin_trap();
        Unpack(packed.Data(), static_cast<size_t>(packed.Size()));
    } else if (size > 0) {
        WriteStream packed;
        if (!GenerateLzmaBuffer(data, size, true, &packed))
            __builtin_trap();
        ReadStream input(packed.Data(), static_cast<size_t>(packed.Size()));
        WriteStream output;
        if (!UnpackLzmaStream(&input, &output) || output.Size() != size || std::memcmp(output.Data(), data, size) != 0)
            __builtin_trap();
    }
    return 0;
}
