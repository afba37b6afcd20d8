#ifndef DELTAPATCH_DISASSEMBLER_ELF_32_H
#define DELTAPATCH_DISASSEMBLER_ELF_32_H

#include "disassembler_elf.h"

namespace deltapatch {

// Base of the 32-bit ELF parsers (x86 and ARM).
class DisassemblerElf32 : public DisassemblerElf<Elf32Layout>
{
public:
    using DisassemblerElf<Elf32Layout>::DisassemblerElf;
};

} // namespace deltapatch

#endif
