// Chained LZMA2 blocks from hostile bytes: every block that decodes is also
// re-encoded and decoded again, which must give the same bytes.
#include <cstdint>
#include <cstring>

#include "lzmaioout.h"
#include "streams.h"

using deltapatch::CompressBufferLzma2;
using deltapatch::DecodeLzma2Block;
using deltapatch::ReadStream;
using deltapatch::WriteStream;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ReadStream input(data, size);
    WriteStream output;
    for (int block = 0; block < 8 && !input.Consumed(); ++block) {
        const uint64_t before = output.Size();
        const uint8_t* at = input.Current();
        if (!DecodeLzma2Block(&input, &output)) {
            if (output.Size() != before)
                __builtin_trap();
            break;
        }
        // A block that decodes moves the input forward past at least its header
        // and end marker.
        if (input.Current() < at + 3)
            __builtin_trap();
        const uint64_t produced = output.Size() - before;
        if (produced <= (64u << 10)) {
            WriteStream packed;
            if (!CompressBufferLzma2(output.Data() + before, static_cast<size_t>(produced), &packed))
                __builtin_trap();
            ReadStream again(packed.Data(), static_cast<size_t>(packed.Size()));
            WriteStream restored;
            if (!DecodeLzma2Block(&again, &restored) || !again.Consumed() || restored.Size() != produced
                || (produced && std::memcmp(restored.Data(), output.Data() + before, produced) != 0))
                __builtin_trap();
        }
    }
    return 0;
}
