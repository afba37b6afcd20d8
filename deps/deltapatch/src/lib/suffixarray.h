#ifndef DELTAPATCH_SUFFIXARRAY_H
#define DELTAPATCH_SUFFIXARRAY_H

#include <cstdint>

namespace deltapatch {

// Sorts the n suffixes of text into sa (n entries) in linear time by induced
// sorting. Returns 0 on success, -1 when text or sa is null or n is negative,
// -2 when memory runs out. Memory comes from the C heap; nothing throws.
int32_t BuildSuffixArray(const uint8_t* text, int32_t* sa, int32_t n);

// The same over 32-bit symbols in [0, k). A symbol outside that range is
// refused with -1 rather than indexing a bucket that does not exist.
int32_t BuildSuffixArrayInt(const int32_t* text, int32_t* sa, int32_t n, int32_t k);

} // namespace deltapatch

#endif
