#ifndef DELTAPATCH_DISASSEMBLER_ELF_64_X64_H
#define DELTAPATCH_DISASSEMBLER_ELF_64_X64_H

#include "disassembler_elf_x86.h"

namespace deltapatch {

// x86-64 ELF files. Their absolute relocations are not modelled: every
// entry is refused, and relocation sections stay bytes.
class DisassemblerElf64X64 : public DisassemblerElfX86<DisassemblerElf64>
{
public:
    typedef TypedRVAX86 TypedRVAX64;

    using DisassemblerElfX86<DisassemblerElf64>::DisassemblerElfX86;

    ExecutableType kind() const override { return ELF_64_X64; }
    uint16_t ElfMachine() const override { return 62; }
    bool RelocToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
    bool ParseRelocationSection(const ElfSectionHeader& section, DisassembledProgram* program) override;
};

} // namespace deltapatch

#endif
