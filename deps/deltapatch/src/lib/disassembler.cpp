#include "disassembler.h"

#include "littleendian.h"

namespace deltapatch {

Disassembler::Disassembler(const void* start, size_t length)
    : failure_reason_("uninitialized"),
      length_(length),
      start_(static_cast<const uint8_t*>(start)),
      end_(static_cast<const uint8_t*>(start) + length) {}

Disassembler::~Disassembler() = default;

bool Disassembler::Good() {
  failure_reason_ = nullptr;
  return true;
}

bool Disassembler::Bad(const char* reason) {
  failure_reason_ = reason;
  return false;
}

uint32_t Disassembler::ReadU32(uint64_t offset) const {
  return ReadLe32(OffsetToPointer(static_cast<size_t>(offset)));
}

uint64_t Disassembler::ReadU64(uint64_t offset) const {
  return ReadLe64(OffsetToPointer(static_cast<size_t>(offset)));
}

void Disassembler::ReduceLength(size_t length) {
  if (length < length_) length_ = length;
}

}  // namespace deltapatch
