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
template <typename T, uint64_t kInitial, uint64_t kMaxElements>
class GrowableBuffer {
  static_assert(std::is_trivially_copyable<T>::value, "plain elements only");
  static_assert(kMaxElements <= SIZE_MAX / sizeof(T), "limit must be allocatable in size_t");

 public:
  // Capacity value that marks a buffer whose growth failed.
  static constexpr uint64_t kFailedCapacity = 0xFFFFFFFFu;

  GrowableBuffer() = default;
  GrowableBuffer(const GrowableBuffer&) = delete;
  GrowableBuffer& operator=(const GrowableBuffer&) = delete;
  ~GrowableBuffer() { FreeBlock(data_, bytes(capacity_)); }

  uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool failed() const { return capacity_ == kFailedCapacity; }
  uint64_t capacity() const { return failed() ? 0 : capacity_; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](uint64_t i) { return data_[i]; }
  const T& operator[](uint64_t i) const { return data_[i]; }
  T& back() { return data_[size_ - 1]; }
  const T& back() const { return data_[size_ - 1]; }

  // Makes room for at least n elements in total.
  bool reserve(uint64_t n) {
    if (failed()) return false;
    if (n <= capacity_) return true;
    if (n > kMaxElements) return fail();
    uint64_t want = n < kInitial ? kInitial : n;
    T* grown = static_cast<T*>(AllocateBlock(bytes(want)));
    if (!grown) return fail();
    if (size_) std::memcpy(grown, data_, static_cast<size_t>(size_) * sizeof(T));
    FreeBlock(data_, bytes(capacity_));
    data_ = grown;
    capacity_ = want;
    // A capacity that happens to equal the mark would read as failed.
    if (capacity_ == kFailedCapacity) return fail();
    return true;
  }

  bool push_back(const T& value) { return append(&value, 1); }

  bool append(const T* values, uint64_t n) {
    if (failed()) return false;
    if (n == 0) return true;
    if (n > kMaxElements || size_ > kMaxElements - n) return false;
    if (capacity_ - size_ < n && !reserve(nextCapacity(size_ + n))) return false;
    std::memcpy(data_ + size_, values, static_cast<size_t>(n) * sizeof(T));
    size_ += n;
    return true;
  }

  // Drops the elements but keeps the failed mark, if any.
  void clear() { size_ = 0; }

  // Releases everything, the failed mark included.
  void reset() {
    FreeBlock(data_, bytes(capacity_));
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
  }

 private:
  // Only a buffer that holds memory is freed, so a failed one's mark never
  // reaches here as a size.
  static size_t bytes(uint64_t capacity) { return static_cast<size_t>(capacity) * sizeof(T); }

  uint64_t nextCapacity(uint64_t needed) const {
    uint64_t cap = capacity_ ? capacity_ : kInitial;
    while (cap < needed) cap = cap > kMaxElements / 2 ? kMaxElements : cap * 2;
    return cap;
  }

  bool fail() {
    FreeBlock(data_, bytes(capacity_));
    data_ = nullptr;
    size_ = 0;
    capacity_ = kFailedCapacity;
    return false;
  }

  T* data_ = nullptr;
  uint64_t size_ = 0;
  uint64_t capacity_ = 0;
};

}  // namespace deltapatch

#endif
