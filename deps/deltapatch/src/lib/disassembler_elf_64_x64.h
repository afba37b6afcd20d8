#ifndef DELTAPATCH_DISASSEMBLER_ELF_64_X64_H
#define DELTAPATCH_DISASSEMBLER_ELF_64_X64_H

#include "disassembler_elf_64.h"

namespace deltapatch {

class DisassemblerElf64X64 : public DisassemblerElf64 {
 public:
  class TypedRVAX64 : public TypedRVA {
   public:
    explicit TypedRVAX64(uint32_t rva) : TypedRVA(rva) {}
    bool ComputeTarget(const uint8_t* operand) override;
    bool EmitInstruction(DisassembledProgram* program, uint32_t target_rva) override;
    uint16_t OpSize() const override { return 4; }
  };

  using DisassemblerElf64::DisassemblerElf64;

  ExecutableType kind() const override { return ELF_64_X64; }
  uint16_t ElfMachine() const override { return 62; }
  // x86-64 absolute relocations are not modelled: every entry is refused.
  bool RelocToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
  bool ParseRelocationSection(const ElfSectionHeader& section,
                              DisassembledProgram* program) override;
  bool ScanRel32InSection(const ElfSectionHeader& section) override;
};

}  // namespace deltapatch

#endif
