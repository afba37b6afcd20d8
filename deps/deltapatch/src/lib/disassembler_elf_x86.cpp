#include "disassembler_elf_x86.h"

#include <type_traits>

#include "disassembledprogram.h"
#include "littleendian.h"
#include "x86rel32scan.h"

namespace deltapatch {

template <class Base, ExecutableType Kind, uint16_t Machine>
bool DisassemblerElfX86<Base, Kind, Machine>::TypedRVAX86::ComputeTarget(const uint8_t* operand)
{
    this->set_relative_target(ReadLe32(operand) + 4);
    return true;
}

template <class Base, ExecutableType Kind, uint16_t Machine>
bool DisassemblerElfX86<Base, Kind, Machine>::TypedRVAX86::EmitInstruction(DisassembledProgram* program,
                                                                           uint32_t target_rva)
{
    return program->EmitRel32(program->FindOrMakeRel32Label(target_rva));
}

template <class Base, ExecutableType Kind, uint16_t Machine>
bool DisassemblerElfX86<Base, Kind, Machine>::RelocToRva(uint64_t, uint64_t, uint32_t*) const
{
    return false;
}

template <class Base, ExecutableType Kind, uint16_t Machine>
bool DisassemblerElfX86<Base, Kind, Machine>::ParseRelocationSection(const ElfSectionHeader& section,
                                                                     DisassembledProgram* program)
{
    return this->EmitRestOfSection(program, section, 0);
}

template <class Base, ExecutableType Kind, uint16_t Machine>
bool DisassemblerElfX86<Base, Kind, Machine>::ScanRel32InSection(const ElfSectionHeader& section)
{
    const bool x64 = std::is_same<Base, DisassemblerElf64>::value;
    const uint8_t* const begin = this->OffsetToPointer(static_cast<size_t>(section.offset));
    const uint8_t* const end = begin + section.size;
    return ScanX86Rel32Operands(begin, end, x64, [&](const uint8_t* operand) {
        const uint32_t rva = static_cast<uint32_t>(section.addr + uint64_t(operand - begin));
        // Only an operand that is kept is made into a location.
        if (!this->IsInLoadableSegment(rva + ReadLe32(operand) + 4))
            return kOperandPassed;
        TypedRVAX86* location = this->template MakeLocation<TypedRVAX86>(rva);
        if (!location)
            return kOperandFailed;
        location->ComputeTarget(operand);
        return this->AddRel32Location(location) ? kOperandKept : kOperandFailed;
    });
}

template class DisassemblerElfX86<DisassemblerElf32, EXE_ELF_32_X86, 3>;
template class DisassemblerElfX86<DisassemblerElf64, ELF_64_X64, 62>;

} // namespace deltapatch
