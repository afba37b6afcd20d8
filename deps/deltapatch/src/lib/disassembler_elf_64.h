#ifndef DELTAPATCH_DISASSEMBLER_ELF_64_H
#define DELTAPATCH_DISASSEMBLER_ELF_64_H

#include "disassembler_elf.h"

namespace deltapatch {

// Base of the 64-bit ELF parser: the 32-bit rules at ELF64 field widths.
class DisassemblerElf64 : public DisassemblerElf<Elf64Layout>
{
public:
    using DisassemblerElf<Elf64Layout>::DisassemblerElf;
};

} // namespace deltapatch

#endif
