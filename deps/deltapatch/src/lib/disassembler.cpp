#include "disassembler.h"

#include "littleendian.h"

namespace deltapatch {

Disassembler::Disassembler(const void* start, size_t length)
    : m_FailureReason("uninitialized"), m_Length(length), m_Start(static_cast<const uint8_t*>(start)),
      m_End(static_cast<const uint8_t*>(start) + length)
{
}

Disassembler::~Disassembler() = default;

bool Disassembler::Good()
{
    m_FailureReason = nullptr;
    return true;
}

bool Disassembler::Bad(const char* reason)
{
    m_FailureReason = reason;
    return false;
}

uint32_t Disassembler::ReadU32(uint64_t offset) const
{
    return ReadLe32(OffsetToPointer(static_cast<size_t>(offset)));
}

uint64_t Disassembler::ReadU64(uint64_t offset) const
{
    return ReadLe64(OffsetToPointer(static_cast<size_t>(offset)));
}

void Disassembler::ReduceLength(size_t length)
{
    if (length < m_Length)
        m_Length = length;
}

} // namespace deltapatch
