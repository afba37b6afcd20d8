#include "disassembler_elf_64_x64.h"

#include <new>

#include "disassembledprogram.h"
#include "littleendian.h"
#include "x86rel32scan.h"

namespace deltapatch {

bool DisassemblerElf64X64::TypedRVAX64::ComputeTarget(const uint8_t* operand) {
  set_relative_target(ReadLe32(operand) + 4);
  return true;
}

bool DisassemblerElf64X64::TypedRVAX64::EmitInstruction(DisassembledProgram* program,
                                                        uint32_t target_rva) {
  return program->EmitRel32(program->FindOrMakeRel32Label(target_rva));
}

bool DisassemblerElf64X64::RelocToRva(uint64_t, uint64_t, uint32_t*) const { return false; }

bool DisassemblerElf64X64::ParseRelocationSection(const ElfSectionHeader& section,
                                                  DisassembledProgram* program) {
  return EmitRestOfSection(program, section, 0);
}

bool DisassemblerElf64X64::ScanRel32InSection(const ElfSectionHeader& section) {
  const uint8_t* const begin = OffsetToPointer(static_cast<size_t>(section.offset));
  const uint8_t* const end = begin + section.size;
  return ScanX86Rel32Operands(begin, end, true, [&](const uint8_t* operand) {
    const uint32_t rva = static_cast<uint32_t>(section.addr + uint64_t(operand - begin));
    // Only an operand that is kept is made into a location.
    if (!IsInLoadableSegment(rva + ReadLe32(operand) + 4)) return kOperandPassed;
    TypedRVAX64* location = MakeLocation<TypedRVAX64>(rva);
    if (!location) return kOperandFailed;
    location->ComputeTarget(operand);
    return AddRel32Location(location) ? kOperandKept : kOperandFailed;
  });
}

}  // namespace deltapatch
