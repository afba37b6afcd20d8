#ifndef DELTAPATCH_DISASSEMBLER_ELF_32_X86_H
#define DELTAPATCH_DISASSEMBLER_ELF_32_X86_H

#include "disassembler_elf_x86.h"

namespace deltapatch {

// 32-bit x86 ELF files, whose relative relocations become absolute
// references; a table of only those is rebuilt when the file is assembled.
class DisassemblerElf32X86 : public DisassemblerElfX86<DisassemblerElf32, EXE_ELF_32_X86, 3>
{
public:
    using DisassemblerElfX86::DisassemblerElfX86;

    bool RelocToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
    bool ParseRelocationSection(const ElfSectionHeader& section, DisassembledProgram* program) override;
};

} // namespace deltapatch

#endif
