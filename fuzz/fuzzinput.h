// Reading a fuzzer's own header bytes off the front of its input.
#ifndef QND_FUZZ_FUZZINPUT_H
#define QND_FUZZ_FUZZINPUT_H

#include <cstddef>
#include <cstdint>

namespace fuzz {

// The first byte picks one of modes ways to use the rest, which data and
// size then name; false (the input is skipped) when there is no first byte.
inline bool TakeMode(const uint8_t*& data, size_t& size, uint8_t modes, uint8_t* mode)
{
    if (size < 1)
        return false;
    *mode = data[0] % modes;
    ++data;
    --size;
    return true;
}

} // namespace fuzz

#endif // QND_FUZZ_FUZZINPUT_H
