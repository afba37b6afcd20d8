#ifndef DELTAPATCH_DISASSEMBLER_ELF_32_ARM_H
#define DELTAPATCH_DISASSEMBLER_ELF_32_ARM_H

#include "disassembler_elf.h"

namespace deltapatch {

// ARM branch forms: 0 Thumb conditional (16-bit), 1 Thumb unconditional
// (16-bit), 2 ARM B/BL, 3 Thumb-2 BL/BLX/B.W, 4 Thumb-2 conditional B.W.
enum ArmBranchType : uint8_t {
    ARM_OFF8 = 0,
    ARM_OFF11 = 1,
    ARM_OFF24 = 2,
    ARM_OFF25 = 3,
    ARM_OFF21 = 4,
};

class DisassemblerElf32ARM : public DisassemblerElf32
{
public:
    class TypedRVAARM : public TypedRVA
    {
    public:
        TypedRVAARM(uint8_t type, uint32_t rva) : TypedRVA(rva), m_Type(type) {}
        bool ComputeTarget(const uint8_t* operand) override;
        bool EmitInstruction(DisassembledProgram* program, uint32_t target_rva) override;
        uint16_t OpSize() const override;
        uint16_t armOp() const { return m_ArmOp; }

    private:
        uint8_t m_Type;
        uint16_t m_ArmOp = 0;
        const uint8_t* m_Operand = nullptr;
    };

    using DisassemblerElf32::DisassemblerElf32;

    ExecutableType kind() const override { return ELF_32_ARM; }
    uint16_t ElfMachine() const override { return 40; }
    bool RelocToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
    bool ParseRelocationSection(const ElfSectionHeader& section, DisassembledProgram* program) override;
    bool ScanRel32InSection(const ElfSectionHeader& section) override;

    // value: the halfword (types 0, 1), the word (2), or first halfword x
    // 65536 + second (3, 4); rva decides the BLX alignment of type 3.
    static bool DecodeArmBranch(uint8_t type, uint32_t value, uint32_t rva, uint16_t* armOp, uint32_t* relativeTarget);
    // displacement: target - rva. The result is in the same form as value.
    static bool EncodeArmBranch(uint8_t type, uint16_t armOp, uint32_t displacement, uint32_t* value);
};

} // namespace deltapatch

#endif
