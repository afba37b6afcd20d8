#ifndef DELTAPATCH_COMPUTECRC32_H
#define DELTAPATCH_COMPUTECRC32_H

#include <cstddef>
#include <cstdint>

namespace deltapatch {

// The checksum stored in the engine's headers: the CRC-32 register
// (reflected 0xEDB88320, initial 0xFFFFFFFF) after the last byte, without the
// final XOR. "abc" gives 0xCADBBE3D, no bytes 0xFFFFFFFF. Thread-safe.
uint32_t ComputeCrc32(const uint8_t* bytes, size_t length);

} // namespace deltapatch

#endif
