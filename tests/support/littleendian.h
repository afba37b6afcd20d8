#ifndef QND_TESTS_LITTLEENDIAN_H
#define QND_TESTS_LITTLEENDIAN_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

// Little-endian field access for tests that hand-edit executable headers;
// the callers keep every offset inside the buffer.
inline void Put16(std::vector<uint8_t>* b, size_t at, uint16_t v)
{
    (*b)[at] = uint8_t(v);
    (*b)[at + 1] = uint8_t(v >> 8);
}
inline void Put32(std::vector<uint8_t>* b, size_t at, uint32_t v)
{
    Put16(b, at, uint16_t(v));
    Put16(b, at + 2, uint16_t(v >> 16));
}
inline void Put64(std::vector<uint8_t>* b, size_t at, uint64_t v)
{
    Put32(b, at, uint32_t(v));
    Put32(b, at + 4, uint32_t(v >> 32));
}
inline uint16_t Get16(const std::vector<uint8_t>& b, size_t at)
{
    return uint16_t(b[at] | b[at + 1] << 8);
}
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

} // namespace testsupport

#endif // QND_TESTS_LITTLEENDIAN_H
