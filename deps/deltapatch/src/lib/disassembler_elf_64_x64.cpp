#include "disassembler_elf_64_x64.h"

#include <new>

#include "disassembledprogram.h"

namespace deltapatch {

namespace {

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

}  // namespace

bool DisassemblerElf64X64::TypedRVAX64::ComputeTarget(const uint8_t* operand) {
  set_relative_target(Le32(operand) + 4);
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
  // Bytes that can start an operand form; most bytes cannot, and are passed
  // over without the tests below.
  static const struct Starts {
    bool can[256] = {};
    Starts() {
      for (uint8_t b : {0xE8, 0xE9, 0xFF, 0x0F, 0x48, 0x49}) can[b] = true;
    }
  } starts;
  const uint8_t* const begin = OffsetToPointer(static_cast<size_t>(section.offset));
  const uint8_t* const end = begin + section.size;
  const uint8_t* p = begin;
  while (p < end) {
    if (!starts.can[*p]) {
      ++p;
      continue;
    }
    const uint8_t* operand = nullptr;
    const uint64_t left = static_cast<uint64_t>(end - p);
    if (left >= 5 && (p[0] == 0xE8 || p[0] == 0xE9)) {
      operand = p + 1;  // call/jmp rel32
    } else if (left >= 6 && p[0] == 0xFF && (p[1] == 0x15 || p[1] == 0x25)) {
      operand = p + 2;  // call/jmp through a rip-relative slot
    } else if (left >= 6 && p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && p[1] != 0x8A &&
               p[1] != 0x8B) {
      operand = p + 2;  // jcc rel32, except the parity forms
    } else if (left >= 7 && (p[0] == 0x48 || p[0] == 0x49) && (p[1] == 0x8B || p[1] == 0x8D) &&
               (p[2] & 0xC7) == 0x05) {
      operand = p + 3;  // mov/lea with a rip-relative operand
    }
    if (operand) {
      const uint32_t rva = static_cast<uint32_t>(section.addr + uint64_t(operand - begin));
      // Only an operand that is kept is made into a location.
      if (IsInLoadableSegment(rva + Le32(operand) + 4)) {
        TypedRVAX64* location = MakeLocation<TypedRVAX64>(rva);
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
