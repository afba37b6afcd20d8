#ifndef DELTAPATCH_DISASSEMBLER_ELF_32_X86_H
#define DELTAPATCH_DISASSEMBLER_ELF_32_X86_H

#include "disassembler_elf_32.h"

namespace deltapatch {

class DisassemblerElf32X86 : public DisassemblerElf32 {
 public:
  class TypedRVAX86 : public TypedRVA {
   public:
    explicit TypedRVAX86(uint32_t rva) : TypedRVA(rva) {}
    bool ComputeTarget(const uint8_t* operand) override;
    bool EmitInstruction(DisassembledProgram* program, uint32_t target_rva) override;
    uint16_t OpSize() const override { return 4; }
  };

  using DisassemblerElf32::DisassemblerElf32;

  ExecutableType kind() const override { return EXE_ELF_32_X86; }
  uint16_t ElfMachine() const override { return 3; }
  bool RelocToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
  bool ParseRelocationSection(const ElfSectionHeader& section,
                              DisassembledProgram* program) override;
  bool ScanRel32InSection(const ElfSectionHeader& section) override;
};

}  // namespace deltapatch

#endif
