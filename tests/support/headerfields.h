#ifndef QND_TESTS_HEADERFIELDS_H
#define QND_TESTS_HEADERFIELDS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "littleendian.h"

namespace testsupport {

// The engine's little-endian field access on a vector, for tests that
// hand-edit executable headers; the callers keep every offset inside it.
inline void Put16(std::vector<uint8_t>* b, size_t at, uint16_t v)
{
    deltapatch::StoreLe16(b->data() + at, v);
}
inline void Put32(std::vector<uint8_t>* b, size_t at, uint32_t v)
{
    deltapatch::StoreLe32(b->data() + at, v);
}
inline void Put64(std::vector<uint8_t>* b, size_t at, uint64_t v)
{
    Put32(b, at, uint32_t(v));
    Put32(b, at + 4, uint32_t(v >> 32));
}
inline uint16_t Get16(const std::vector<uint8_t>& b, size_t at)
{
    return deltapatch::ReadLe16(b.data() + at);
}
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at)
{
    return deltapatch::ReadLe32(b.data() + at);
}

} // namespace testsupport

#endif // QND_TESTS_HEADERFIELDS_H
