// ApplyDiff over hostile stages. Input layout: one flag byte (bit 0: header
// flag), two bytes of old-data length (little-endian, cut to what is there),
// the old data, then the stage.
#include "bytediff.h"
#include "streams.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const bool header = (data[0] & 1) != 0;
    size_t oldLength = data[1] | (size_t{data[2]} << 8);
    data += 3;
    size -= 3;
    if (oldLength > size)
        oldLength = size;
    deltapatch::ReadStream old(data, oldLength);
    deltapatch::ReadStream diff(data + oldLength, size - oldLength);
    deltapatch::WriteStream output;
    deltapatch::ApplyDiff(&old, &diff, &output, header);
    return 0;
}
