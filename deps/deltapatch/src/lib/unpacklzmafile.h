#ifndef DELTAPATCH_UNPACKLZMAFILE_H
#define DELTAPATCH_UNPACKLZMAFILE_H

#include <cstddef>
#include <cstdint>

namespace deltapatch {

class MappedFile;
class ReadStream;
class WriteStream;

// First varint of every packed file (bytes E9 AE A8 3F).
const uint32_t kLzmaFileMagic = 0x7EA1769;
const uint32_t kLzmaDirectivePlain = 1;
const uint32_t kLzmaDirectivePreprocessed = 2;

// No bound on the unpacked size beyond the format's own.
const uint64_t kNoOutputLimit = UINT64_MAX;

// Unpacks the packed file at input into output. Writes nothing unless the
// unpacked bytes match the stored CRC; every failure is logged. A file that
// would unpack to more than outputLimit bytes is refused as soon as that
// shows, a block declaring more before anything is allocated for it, so
// memory stays near the limit. Paths are UTF-8; safe to call from any thread.
bool UnpackLzmaFile(const char* inputPath, const char* outputPath, uint64_t outputLimit = kNoOutputLimit);

// The in-memory part of UnpackLzmaFile: the unpacked bytes of the packed file
// at the input's position are appended to output, after their CRC matched.
bool UnpackLzmaStream(ReadStream* input, WriteStream* output, uint64_t outputLimit = kNoOutputLimit);

// Writes a packed file of input; with preprocess, executables found in it are
// stored disassembled, falling back to the plain form when that fails.
bool GenerateLzmaFile(const char* inputPath, const char* outputPath, bool preprocess);

// In-memory form of GenerateLzmaFile's packing (the input must be non-empty).
bool GenerateLzmaBuffer(const uint8_t* input, size_t length, bool preprocess, WriteStream* output);

bool WriteLzmaHeader(WriteStream* output, uint32_t crc);
bool WritePlainLzmaFile(const MappedFile& input, WriteStream* output, uint32_t crc);

// Name of an executable kind for messages; "UNKNOWN" for any unknown code.
const char* ExecutableTypeName(uint32_t type);

} // namespace deltapatch

#endif
