#ifndef DELTAPATCH_LITTLEENDIAN_H
#define DELTAPATCH_LITTLEENDIAN_H

#include <cstdint>

namespace deltapatch {

// Fields of executables and of assembled code, which are little-endian on
// every machine the engine knows. The caller has checked that the bytes
// lie inside its buffer.
inline uint16_t ReadLe16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t ReadLe32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline uint64_t ReadLe64(const uint8_t* p)
{
    return uint64_t(ReadLe32(p)) | (uint64_t(ReadLe32(p + 4)) << 32);
}

inline void StoreLe16(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

inline void StoreLe32(uint8_t* p, uint32_t value)
{
    StoreLe16(p, value);
    StoreLe16(p + 2, value >> 16);
}

} // namespace deltapatch

#endif
