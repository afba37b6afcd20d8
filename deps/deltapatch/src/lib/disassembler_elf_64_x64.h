#ifndef DELTAPATCH_DISASSEMBLER_ELF_64_X64_H
#define DELTAPATCH_DISASSEMBLER_ELF_64_X64_H

#include "disassembler_elf_x86.h"

namespace deltapatch {

// x86-64 ELF files. Their absolute relocations are not modelled: every
// entry is refused, and relocation sections stay bytes.
class DisassemblerElf64X64 : public DisassemblerElfX86<DisassemblerElf64, ELF_64_X64, 62>
{
public:
    typedef TypedRVAX86 TypedRVAX64;

    using DisassemblerElfX86::DisassemblerElfX86;
};

} // namespace deltapatch

#endif
