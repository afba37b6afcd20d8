// ApplyDiff over hostile stages. Input layout: one flag byte, two bytes of
// old-data length (little-endian, cut to what is there), the old data, then
// the rest. Flag bit 0 is the header flag. With bit 1 set the rest is a new
// file instead: CreateDiff makes a stage from old to it, and ApplyDiff must
// give it back exactly.
#include "bytediff.h"
#include "streams.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const bool header = (data[0] & 1) != 0;
    const bool roundTrip = (data[0] & 2) != 0;
    size_t oldLength = data[1] | (size_t{data[2]} << 8);
    data += 3;
    size -= 3;
    if (oldLength > size)
        oldLength = size;
    deltapatch::ReadStream old(data, oldLength);
    deltapatch::ReadStream rest(data + oldLength, size - oldLength);
    deltapatch::WriteStream output;
    if (!roundTrip) {
        deltapatch::ApplyDiff(&old, &rest, &output, header);
        return 0;
    }

    // Method 0 only: the compressed methods add nothing to the matching
    // and cost an encoder set-up per run.
    deltapatch::WriteStream stage;
    if (!deltapatch::CreateDiff(&old, &rest, &stage, header, 0))
        __builtin_trap();
    deltapatch::ReadStream oldAgain(data, oldLength);
    deltapatch::ReadStream diff;
    diff.Init(stage);
    const size_t newLength = size - oldLength;
    if (!deltapatch::ApplyDiff(&oldAgain, &diff, &output, header) || !diff.Consumed() || output.Size() != newLength
        || (newLength > 0 && std::memcmp(output.Data(), data + oldLength, newLength) != 0))
        __builtin_trap();
    return 0;
}
