#include "disassembler_elf_32_x86.h"

#include "disassembledprogram.h"

namespace deltapatch {

namespace {

const uint32_t kRelative386 = 8;

} // namespace

bool DisassemblerElf32X86::RelocToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const
{
    if (r_info != kRelative386)
        return false;
    *rva = static_cast<uint32_t>(r_offset);
    return true;
}

bool DisassemblerElf32X86::ParseRelocationSection(const ElfSectionHeader& section, DisassembledProgram* program)
{
    const RvaList& abs32 = abs32_locations();
    const uint64_t entries = RelocationEntryCount(section);
    bool table = !abs32.empty() && abs32.size() <= entries;
    for (uint64_t i = 0; table && i < abs32.size(); ++i) {
        const uint64_t at = section.offset + i * 8;
        table = ReadU32(at) == abs32[i] && ReadU32(at + 4) == kRelative386;
    }
    if (!table)
        return EmitRestOfSection(program, section, 0);
    // The table is rebuilt from the abs32 references when the file is
    // assembled; only what follows it is kept as bytes.
    if (!program->EmitElfRelocs())
        return false;
    return EmitRestOfSection(program, section, abs32.size() * 8);
}

} // namespace deltapatch
