#ifndef DELTAPATCH_DISASSEMBLER_H
#define DELTAPATCH_DISASSEMBLER_H

#include <cstddef>
#include <cstdint>

#include "executabletype.h"

namespace deltapatch {

class DisassembledProgram;

// A parser for one executable format, built on a buffer it does not own.
// The buffer must outlive the parser and every program made from it.
class Disassembler
{
public:
    Disassembler(const void* start, size_t length);
    virtual ~Disassembler();
    Disassembler(const Disassembler&) = delete;
    Disassembler& operator=(const Disassembler&) = delete;

    virtual ExecutableType kind() const { return UNKNOWN; }
    // Validates the headers; on rejection failure_reason() says why.
    virtual bool ParseHeader() = 0;
    // Fills program; refused unless ParseHeader succeeded.
    bool Disassemble(DisassembledProgram* program);

    bool ok() const { return m_FailureReason == nullptr; }
    const char* failure_reason() const { return m_FailureReason; }
    // Bytes that belong to the executable, lowered to its own extent.
    size_t length() const { return m_Length; }
    const uint8_t* start() const { return m_Start; }
    const uint8_t* end() const { return m_End; }

    // No bounds check: callers check the offset first.
    const uint8_t* OffsetToPointer(size_t offset) const { return m_Start + offset; }

protected:
    // The two steps of Disassemble that are the format's own: finding the
    // references (setting the program's image base) and walking the file in
    // order to emit them.
    virtual bool FindReferences(DisassembledProgram* program) = 0;
    virtual bool ParseFile(DisassembledProgram* program) = 0;
    // Little-endian words at a checked offset.
    uint32_t ReadU32(uint64_t offset) const;
    uint64_t ReadU64(uint64_t offset) const;
    // Emits the relative reference whose operand starts at *p when rel32 is
    // set, else the byte there, and steps *p past what it emitted. An operand
    // that would run past end (overlapping sections can place one at the very
    // end of another) fails.
    bool EmitRel32OrByte(DisassembledProgram* program, bool rel32, uint32_t rva, uint64_t end, uint64_t* p) const;
    bool Good();
    bool Bad(const char* reason);
    void ReduceLength(size_t length);

private:
    const char* m_FailureReason;
    size_t m_Length;
    const uint8_t* m_Start;
    const uint8_t* m_End;
};

} // namespace deltapatch

#endif
