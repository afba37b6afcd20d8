#include "disassembler_elf_64_x64.h"

#include "disassembledprogram.h"

namespace deltapatch {

bool DisassemblerElf64X64::RelocToRva(uint64_t, uint64_t, uint32_t*) const
{
    return false;
}

bool DisassemblerElf64X64::ParseRelocationSection(const ElfSectionHeader& section, DisassembledProgram* program)
{
    return EmitRestOfSection(program, section, 0);
}

} // namespace deltapatch
