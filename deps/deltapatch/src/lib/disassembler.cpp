#include "disassembler.h"

#include "disassembledprogram.h"
#include "littleendian.h"

namespace deltapatch {

Disassembler::Disassembler(const void* start, size_t length)
    : m_FailureReason("uninitialized"), m_Length(length), m_Start(static_cast<const uint8_t*>(start)),
      m_End(static_cast<const uint8_t*>(start) + length)
{
}

Disassembler::~Disassembler() = default;

bool Disassembler::Disassemble(DisassembledProgram* program)
{
    if (!ok())
        return false;
    if (!FindReferences(program) || !ParseFile(program))
        return false;
    program->AssignIndexesInOrder();
    return true;
}

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

bool Disassembler::EmitRel32OrByte(DisassembledProgram* program, bool rel32, uint32_t rva, uint64_t end,
                                   uint64_t* p) const
{
    if (!rel32) {
        if (!program->EmitByte(*OffsetToPointer(static_cast<size_t>(*p))))
            return false;
        ++*p;
        return true;
    }
    if (end - *p < 4)
        return false;
    if (!program->EmitRel32(program->FindOrMakeRel32Label(rva + ReadU32(*p) + 4)))
        return false;
    *p += 4;
    return true;
}

} // namespace deltapatch
