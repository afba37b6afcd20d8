#ifndef DELTAPATCH_BYTEDIFF_H
#define DELTAPATCH_BYTEDIFF_H

#include <cstddef>
#include <cstdint>

namespace deltapatch {

class ReadStream;
class WriteStream;

// How the three sections of a byte-diff stage are stored.
enum DiffMethod {
    kDiffPlain = 0,       // three lengths, then the sections as they are
    kDiffThreeBlocks = 1, // one LZMA2 block per section
    kDiffOneBlock = 2,    // the plain body inside one LZMA2 block
};

// Turns the old stream's remaining bytes into new bytes with the byte-diff
// stage at the diff stream's position, appending them to output. With header
// set, the stage starts with "QNDIFF10" and the CRC of the new bytes. The diff
// stream moves past what was read; the old stream does not move. Any malformed
// or truncated stage gives false (output may then hold a partial result).
bool ApplyDiff(ReadStream* oldStream, ReadStream* diff, WriteStream* output, bool header);

// A piece of old data for ApplyDiffToPieces.
struct DiffPiece
{
    const uint8_t* data;
    uint64_t length;
};
const size_t kMaxDiffPieces = 16;

// As ApplyDiff, with old data that lies in up to kMaxDiffPieces pieces, each
// right after the one before. Saves joining them into one buffer.
bool ApplyDiffToPieces(const DiffPiece* pieces, size_t count, ReadStream* diff, WriteStream* output, bool header);

// Appends to sink a stage that turns the old stream's remaining bytes into the
// new stream's remaining bytes; both streams are consumed. Inputs longer than
// 0x7FFFFFFF bytes are refused.
bool CreateDiff(ReadStream* oldStream, ReadStream* newStream, WriteStream* sink, bool header, int method);

} // namespace deltapatch

#endif
