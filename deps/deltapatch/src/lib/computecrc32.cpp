#include "computecrc32.h"

#include <lzma.h>

namespace deltapatch {

uint32_t ComputeCrc32(const uint8_t* bytes, size_t length)
{
    // liblzma's CRC-32 works from constant tables, so concurrent patch tasks
    // share nothing mutable here.
    if (length == 0 || !bytes)
        return 0xFFFFFFFFu;
    return ~lzma_crc32(bytes, length, 0);
}

} // namespace deltapatch
