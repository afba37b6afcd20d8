#ifndef DELTAPATCH_ELFRANGEINDEX_H
#define DELTAPATCH_ELFRANGEINDEX_H

#include <cstdint>

#include "growablebuffer.h"

namespace deltapatch {

// Answers which of a list of half-open ranges is the first one (lowest list
// position) to hold a point. Headers can be many and overlap, so a linear
// search per scanned operand would let a crafted file run for hours; this
// takes O(n log n) to build and O(log n) per question.
class ElfRangeIndex
{
public:
    struct Range
    {
        uint64_t lo;
        uint64_t hi; // empty when hi <= lo
    };
    static constexpr uint64_t kMaxRanges = 1 << 17;

    // False when out of memory or given more than kMaxRanges ranges.
    bool Build(const Range* ranges, uint64_t count);
    bool Find(uint64_t point, uint32_t* position) const;
    bool Contains(uint64_t point) const
    {
        uint32_t position = 0;
        return Find(point, &position);
    }

private:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    // Sorted distinct range ends; piece k is [m_Bounds[k], m_Bounds[k + 1]).
    GrowableBuffer<uint64_t, 64, 2 * kMaxRanges> m_Bounds;
    // First range holding each piece, or kNone.
    GrowableBuffer<uint32_t, 64, 2 * kMaxRanges> m_Owner;
};

} // namespace deltapatch

#endif
