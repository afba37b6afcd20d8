#ifndef DELTAPATCH_DISASSEMBLER_ELF_X86_H
#define DELTAPATCH_DISASSEMBLER_ELF_X86_H

#include "disassembler_elf.h"

namespace deltapatch {

// What the 32-bit x86 and the x86-64 ELF parsers share, over their ELF
// class's base (DisassemblerElf32 or DisassemblerElf64): a relative operand
// is a 4-byte word counted from its own end, found by the x86 scan, which
// in the 64-bit class takes the rip-relative forms as well. Absolute
// relocations are not modelled unless a parser says otherwise: every entry
// is refused, and relocation sections stay bytes.
template <class Base, ExecutableType Kind, uint16_t Machine> class DisassemblerElfX86 : public Base
{
public:
    typedef typename Base::TypedRVA TypedRVA;

    class TypedRVAX86 : public TypedRVA
    {
    public:
        explicit TypedRVAX86(uint32_t rva) : TypedRVA(rva) {}
        bool ComputeTarget(const uint8_t* operand) override;
        bool EmitInstruction(DisassembledProgram* program, uint32_t target_rva) override;
        uint16_t OpSize() const override { return 4; }
    };

    using Base::Base;

    ExecutableType kind() const override { return Kind; }
    uint16_t ElfMachine() const override { return Machine; }
    bool RelocToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
    bool ParseRelocationSection(const ElfSectionHeader& section, DisassembledProgram* program) override;
    bool ScanRel32InSection(const ElfSectionHeader& section) override;
};

extern template class DisassemblerElfX86<DisassemblerElf32, EXE_ELF_32_X86, 3>;
extern template class DisassemblerElfX86<DisassemblerElf64, ELF_64_X64, 62>;

} // namespace deltapatch

#endif
