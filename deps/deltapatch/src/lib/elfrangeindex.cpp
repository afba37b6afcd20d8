#include "elfrangeindex.h"

#include <algorithm>

namespace deltapatch {

bool ElfRangeIndex::Build(const Range* ranges, uint64_t count)
{
    m_Bounds.reset();
    m_Owner.reset();
    if (count > kMaxRanges)
        return false;
    GrowableBuffer<uint64_t, 64, 2 * kMaxRanges> points;
    for (uint64_t i = 0; i < count; ++i) {
        if (ranges[i].hi <= ranges[i].lo)
            continue;
        if (!points.push_back(ranges[i].lo) || !points.push_back(ranges[i].hi))
            return false;
    }
    if (points.empty())
        return true;
    uint64_t* begin = points.data();
    uint64_t* end = begin + points.size();
    std::sort(begin, end);
    const uint64_t unique = static_cast<uint64_t>(std::unique(begin, end) - begin);
    if (!m_Bounds.append(begin, unique))
        return false;
    const uint64_t pieces = unique - 1;
    GrowableBuffer<uint32_t, 64, 2 * kMaxRanges> next; // next piece that may lack an owner
    for (uint64_t k = 0; k < pieces; ++k) {
        if (!m_Owner.push_back(kNone) || !next.push_back(static_cast<uint32_t>(k)))
            return false;
    }
    if (!next.push_back(static_cast<uint32_t>(pieces)))
        return false;
    auto firstFree = [&next](uint32_t k) {
        uint32_t root = k;
        while (next[root] != root)
            root = next[root];
        while (next[k] != root) {
            uint32_t up = next[k];
            next[k] = root;
            k = up;
        }
        return root;
    };
    // Lower positions claim their pieces first; each piece is claimed once.
    for (uint64_t i = 0; i < count; ++i) {
        if (ranges[i].hi <= ranges[i].lo)
            continue;
        const uint32_t from = static_cast<uint32_t>(std::lower_bound(begin, begin + unique, ranges[i].lo) - begin);
        const uint32_t to = static_cast<uint32_t>(std::lower_bound(begin, begin + unique, ranges[i].hi) - begin);
        for (uint32_t k = firstFree(from); k < to; k = firstFree(k + 1)) {
            m_Owner[k] = static_cast<uint32_t>(i);
            next[k] = k + 1;
        }
    }
    return true;
}

bool ElfRangeIndex::Find(uint64_t point, uint32_t* position) const
{
    const uint64_t* begin = m_Bounds.data();
    const uint64_t* end = begin + m_Bounds.size();
    const uint64_t* after = std::upper_bound(begin, end, point);
    if (after == begin || after == end)
        return false;
    const uint32_t owner = m_Owner[static_cast<uint64_t>(after - begin) - 1];
    if (owner == kNone)
        return false;
    *position = owner;
    return true;
}

} // namespace deltapatch
