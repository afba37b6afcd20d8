#ifndef DELTAPATCH_GROWABLEBUFFER_H
#define DELTAPATCH_GROWABLEBUFFER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "blockmemory.h"

namespace deltapatch {

// A plain array of trivially copyable elements that grows by doubling with
// non-throwing allocation. Once a growth fails the buffer drops its contents
// and refuses every later append, so a chain of appends can be checked once.
// kInitial is the first capacity, kMaxElements the saturation point.
template <typename T, uint64_t kInitial, uint64_t kMaxElements> class GrowableBuffer
{
    static_assert(std::is_trivially_copyable<T>::value, "plain elements only");
    static_assert(kMaxElements <= SIZE_MAX / sizeof(T), "limit must be allocatable in size_t");

public:
    // Capacity value that marks a buffer whose growth failed.
    static constexpr uint64_t kFailedCapacity = 0xFFFFFFFFu;

    GrowableBuffer() = default;
    GrowableBuffer(const GrowableBuffer&) = delete;
    GrowableBuffer& operator=(const GrowableBuffer&) = delete;
    ~GrowableBuffer() { FreeBlock(m_Data, bytes(m_Capacity)); }

    uint64_t size() const { return m_Size; }
    bool empty() const { return m_Size == 0; }
    bool failed() const { return m_Capacity == kFailedCapacity; }
    uint64_t capacity() const { return failed() ? 0 : m_Capacity; }
    T* data() { return m_Data; }
    const T* data() const { return m_Data; }
    T& operator[](uint64_t i) { return m_Data[i]; }
    const T& operator[](uint64_t i) const { return m_Data[i]; }
    T& back() { return m_Data[m_Size - 1]; }
    const T& back() const { return m_Data[m_Size - 1]; }

    // Makes room for at least n elements in total.
    bool reserve(uint64_t n)
    {
        if (failed())
            return false;
        if (n <= m_Capacity)
            return true;
        if (n > kMaxElements)
            return fail();
        uint64_t want = n < kInitial ? kInitial : n;
        T* grown = static_cast<T*>(AllocateBlock(bytes(want)));
        if (!grown)
            return fail();
        if (m_Size)
            std::memcpy(grown, m_Data, static_cast<size_t>(m_Size) * sizeof(T));
        FreeBlock(m_Data, bytes(m_Capacity));
        m_Data = grown;
        m_Capacity = want;
        // A capacity that happens to equal the mark would read as failed.
        if (m_Capacity == kFailedCapacity)
            return fail();
        return true;
    }

    bool push_back(const T& value) { return append(&value, 1); }

    bool append(const T* values, uint64_t n)
    {
        if (failed())
            return false;
        if (n == 0)
            return true;
        if (n > kMaxElements || m_Size > kMaxElements - n)
            return false;
        if (m_Capacity - m_Size < n && !reserve(nextCapacity(m_Size + n)))
            return false;
        std::memcpy(m_Data + m_Size, values, static_cast<size_t>(n) * sizeof(T));
        m_Size += n;
        return true;
    }

    // Drops the elements but keeps the failed mark, if any.
    void clear() { m_Size = 0; }

    // Releases everything, the failed mark included.
    void reset()
    {
        FreeBlock(m_Data, bytes(m_Capacity));
        m_Data = nullptr;
        m_Size = 0;
        m_Capacity = 0;
    }

private:
    // Only a buffer that holds memory is freed, so a failed one's mark never
    // reaches here as a size.
    static size_t bytes(uint64_t capacity) { return static_cast<size_t>(capacity) * sizeof(T); }

    uint64_t nextCapacity(uint64_t needed) const
    {
        uint64_t cap = m_Capacity ? m_Capacity : kInitial;
        while (cap < needed)
            cap = cap > kMaxElements / 2 ? kMaxElements : cap * 2;
        return cap;
    }

    bool fail()
    {
        FreeBlock(m_Data, bytes(m_Capacity));
        m_Data = nullptr;
        m_Size = 0;
        m_Capacity = kFailedCapacity;
        return false;
    }

    T* m_Data = nullptr;
    uint64_t m_Size = 0;
    uint64_t m_Capacity = 0;
};

} // namespace deltapatch

#endif
