#include "disassembler_elf_32_x86.h"

#include <new>

#include "disassembledprogram.h"

namespace deltapatch {

namespace {

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

const uint32_t kRelative386 = 8;

}  // namespace

bool DisassemblerElf32X86::TypedRVAX86::ComputeTarget(const uint8_t* operand) {
  set_relative_target(Le32(operand) + 4);
  return true;
}

bool DisassemblerElf32X86::TypedRVAX86::EmitInstruction(DisassembledProgram* program,
                                                        uint32_t target_rva) {
  return program->EmitRel32(program->FindOrMakeRel32Label(target_rva));
}

bool DisassemblerElf32X86::RelocToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const {
  if (r_info != kRelative386) return false;
  *rva = static_cast<uint32_t>(r_offset);
  return true;
}

bool DisassemblerElf32X86::ParseRelocationSection(const ElfSectionHeader& section,
                                                  DisassembledProgram* program) {
  const RvaList& abs32 = abs32_locations();
  const uint64_t entries = RelocationEntryCount(section);
  bool table = !abs32.empty() && abs32.size() <= entries;
  for (uint64_t i = 0; table && i < abs32.size(); ++i) {
    const uint64_t at = section.offset + i * 8;
    table = ReadU32(at) == abs32[i] && ReadU32(at + 4) == kRelative386;
  }
  if (!table) return EmitRestOfSection(program, section, 0);
  // The table is rebuilt from the abs32 references when the file is
  // assembled; only what follows it is kept as bytes.
  if (!program->EmitElfRelocs()) return false;
  return EmitRestOfSection(program, section, abs32.size() * 8);
}

bool DisassemblerElf32X86::ScanRel32InSection(const ElfSectionHeader& section) {
  const uint8_t* const begin = OffsetToPointer(static_cast<size_t>(section.offset));
  const uint8_t* const end = begin + section.size;
  const uint8_t* p = begin;
  while (p < end) {
    const uint8_t* operand = nullptr;
    const uint64_t left = static_cast<uint64_t>(end - p);
    if (left >= 5 && (p[0] == 0xE8 || p[0] == 0xE9)) operand = p + 1;  // call/jmp rel32
    if (left >= 6 && p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && p[1] != 0x8A && p[1] != 0x8B)
      operand = p + 2;  // jcc rel32, except the parity forms
    if (operand) {
      const uint32_t rva = static_cast<uint32_t>(section.addr + (operand - begin));
      // Only an operand that is kept is made into a location.
      if (IsInLoadableSegment(rva + Le32(operand) + 4)) {
        TypedRVAX86* location = MakeLocation<TypedRVAX86>(rva);
        if (!location) return false;
        location->ComputeTarget(operand);
        if (!AddRel32Location(location)) return false;
        p = operand + 4;
        continue;
      }
    }
    ++p;
  }
  return true;
}

}  // namespace deltapatch
