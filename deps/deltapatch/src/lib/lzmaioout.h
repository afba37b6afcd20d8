#ifndef DELTAPATCH_LZMAIOOUT_H
#define DELTAPATCH_LZMAIOOUT_H

#include <cstddef>
#include <cstdint>

#include "streams.h"

namespace deltapatch {

// An LZMA2 block: the dictionary property byte, the unpacked size as a
// varint32, then a raw LZMA2 stream up to and including its end marker.
// Blocks may follow one another; each one ends where its end marker ends.

// Reads one block at the input's position and appends its unpacked bytes to
// the output. On success the input is left at the first byte after the end
// marker; on failure the output's size is unchanged. A block whose declared
// size is above the output's headroom (see WriteStream::SetLimit) is refused
// before anything is allocated for it.
bool DecodeLzma2Block(ReadStream* input, WriteStream* output);

// Appends one block holding the given bytes (at most 0xFFFFFFFF of them).
bool CompressBufferLzma2(const uint8_t* bytes, size_t length, WriteStream* output);

// As CompressBufferLzma2 with liblzma's preset (0..9; the block writer uses
// 9) and a dictionary of at most maxDictionary bytes, which is all a reader
// then allocates for it. Gives up without a log line, leaving output as it
// was, once the block would pass sizeLimit bytes.
bool CompressBufferLzma2Bounded(const uint8_t* bytes, size_t length, uint32_t preset, uint32_t maxDictionary,
                                uint64_t sizeLimit, WriteStream* output);

// Appends one block holding the input's remaining bytes and consumes them.
bool CompressStreamLzma2(ReadStream* input, WriteStream* output);

} // namespace deltapatch

#endif
