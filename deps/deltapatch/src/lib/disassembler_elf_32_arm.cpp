#include "disassembler_elf_32_arm.h"

#include <new>

#include "disassembledprogram.h"
#include "littleendian.h"

namespace deltapatch {

namespace {

// x sign-extended from bit n.
uint32_t SignExtend(uint32_t x, unsigned n)
{
    const uint32_t sign = uint32_t(1) << n;
    x &= (sign << 1) - 1;
    return (x ^ sign) - sign;
}

uint32_t Bit(uint32_t v, unsigned n)
{
    return (v >> n) & 1;
}

const uint32_t kRelativeArm = 23;

} // namespace

bool DisassemblerElf32ARM::DecodeArmBranch(uint8_t type, uint32_t v, uint32_t rva, uint16_t* armOp,
                                           uint32_t* relativeTarget)
{
    switch (type) {
    case ARM_OFF8:
        *relativeTarget = SignExtend((v & 0xFF) * 2, 8) + 4;
        *armOp = static_cast<uint16_t>((v >> 8) | 0x1000);
        return true;
    case ARM_OFF11:
        *relativeTarget = SignExtend((v & 0x7FF) * 2, 11) + 4;
        *armOp = static_cast<uint16_t>((v >> 11) | 0x2000);
        return true;
    case ARM_OFF24:
        *relativeTarget = SignExtend((v & 0xFFFFFF) * 4, 25) + 8;
        *armOp = static_cast<uint16_t>((v >> 24) | 0x3000);
        return true;
    case ARM_OFF25: {
        const uint32_t s = Bit(v, 26);
        const uint32_t j1 = Bit(v, 13);
        const uint32_t j2 = Bit(v, 11);
        const uint32_t i1 = (j1 ^ s) ^ 1;
        const uint32_t i2 = (j2 ^ s) ^ 1;
        const uint32_t imm10 = (v >> 16) & 0x3FF;
        const uint32_t imm11 = v & 0x7FF;
        // BLX lands on a word boundary, so its base depends on the alignment.
        uint32_t a = 4;
        if (Bit(v, 14) && !Bit(v, 12) && (rva & 3) != 0)
            a = 2;
        const uint32_t offset = (s << 24) | (i1 << 23) | (i2 << 22) | (imm10 << 12) | (imm11 << 1);
        *relativeTarget = SignExtend(offset, 24) + a;
        *armOp = static_cast<uint16_t>(0x4000 | (a << 8) | ((v >> 24) & 0xF8) | (Bit(v, 15) << 2) | (Bit(v, 14) << 1)
                                       | Bit(v, 12));
        return true;
    }
    case ARM_OFF21: {
        const uint32_t offset = (Bit(v, 26) << 20) | (Bit(v, 13) << 19) | (Bit(v, 11) << 18)
            | (((v >> 16) & 0x3F) << 12) | ((v & 0x7FF) << 1);
        *relativeTarget = SignExtend(offset, 20) + 4;
        *armOp = static_cast<uint16_t>(((v >> 22) & 15) | 0x5000);
        return true;
    }
    default: return false;
    }
}

bool DisassemblerElf32ARM::EncodeArmBranch(uint8_t type, uint16_t armOp, uint32_t d, uint32_t* value)
{
    const uint32_t c = armOp;
    switch (type) {
    case ARM_OFF8: *value = (((d + 508) >> 1) & 0xFF) | ((c << 8) & 0xFFF00); return true;
    case ARM_OFF11: *value = (((d + 4092) >> 1) & 0x7FF) | ((c << 11) & 0x7FF800); return true;
    case ARM_OFF24: *value = (((d + 0x3FFFFF8) >> 2) & 0xFFFFFF) | (c << 24); return true;
    case ARM_OFF25: {
        const uint32_t e = d - ((c >> 8) & 15);
        const uint32_t j1 = (Bit(e, 23) ^ Bit(e, 24)) ^ 1;
        const uint32_t j2 = (Bit(e, 22) ^ Bit(e, 24)) ^ 1;
        *value = ((e >> 1) & 0x7FF) | ((c & 0xFFF8) << 24) | ((c << 13) & 0xC000) | ((c & 1) << 12)
            | ((e << 4) & 0x3FF0000) | ((e * 4) & 0x4000000) | (j1 << 13) | (j2 << 11);
        return true;
    }
    case ARM_OFF21: {
        const uint32_t u = d + 0x1FFFFC;
        *value = ((u << 6) & 0x4000000) | ((c & 15) << 22) | ((u >> 7) & 0x800) | ((u >> 6) & 0x2000)
            | ((u >> 1) & 0x7FF) | ((u << 4) & 0x3F0000) | 0xF0008000u;
        return true;
    }
    default: return false;
    }
}

bool DisassemblerElf32ARM::TypedRVAARM::ComputeTarget(const uint8_t* operand)
{
    uint32_t value = 0;
    switch (m_Type) {
    case ARM_OFF8:
    case ARM_OFF11: value = ReadLe16(operand); break;
    case ARM_OFF24: value = ReadLe32(operand); break;
    case ARM_OFF25:
    case ARM_OFF21: value = (uint32_t(ReadLe16(operand)) << 16) | ReadLe16(operand + 2); break;
    default: return false;
    }
    m_Operand = operand;
    uint32_t target = 0;
    if (!DecodeArmBranch(m_Type, value, rva(), &m_ArmOp, &target))
        return false;
    set_relative_target(target);
    return true;
}

bool DisassemblerElf32ARM::TypedRVAARM::EmitInstruction(DisassembledProgram* program, uint32_t target_rva)
{
    return program->EmitRel32Arm(m_ArmOp, program->FindOrMakeRel32Label(target_rva), m_Operand, OpSize());
}

uint16_t DisassemblerElf32ARM::TypedRVAARM::OpSize() const
{
    switch (m_Type) {
    case ARM_OFF8:
    case ARM_OFF11: return 2;
    case ARM_OFF24:
    case ARM_OFF25:
    case ARM_OFF21: return 4;
    default: return 0xFFFF;
    }
}

bool DisassemblerElf32ARM::RelocToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const
{
    if (r_info != kRelativeArm)
        return false;
    *rva = static_cast<uint32_t>(r_offset);
    return true;
}

bool DisassemblerElf32ARM::ParseRelocationSection(const ElfSectionHeader& section, DisassembledProgram* program)
{
    const RvaList& abs32 = abs32_locations();
    if (abs32.empty())
        return EmitRestOfSection(program, section, 0);
    const uint64_t entries = RelocationEntryCount(section);
    uint64_t i = 0;
    // Entries ahead of the first abs32 relocation stay as 8-byte runs.
    while (i < entries && ReadU32(section.offset + i * 8) != abs32[0]) {
        if (!EmitFileBytes(program, section.offset + i * 8, 8))
            return false;
        ++i;
    }
    if (abs32.size() > entries)
        return EmitRestOfSection(program, section, i * 8);
    uint64_t matched = 0;
    while (matched < abs32.size()) {
        const uint64_t entry = i + matched;
        if (entry >= entries)
            break;
        const uint64_t at = section.offset + entry * 8;
        if (ReadU32(at) != abs32[matched] || ReadU32(at + 4) != kRelativeArm)
            break;
        ++matched;
    }
    if (matched == abs32.size()) {
        if (!program->EmitElfArmRelocs())
            return false;
        return EmitRestOfSection(program, section, (i + matched) * 8);
    }
    // The mismatching entry and the matched ones before it are dropped; the
    // generator does the same, so the element round-trips only as its patch.
    return EmitRestOfSection(program, section, (i + matched + 1) * 8);
}

bool DisassemblerElf32ARM::ScanRel32InSection(const ElfSectionHeader& section)
{
    const uint8_t* const begin = OffsetToPointer(static_cast<size_t>(section.offset));
    const uint8_t* const end = begin + section.size;
    const uint8_t* p = begin;
    bool aligned = true;
    // A halfword is read only while two bytes remain.
    while (end - p >= 2) {
        const uint64_t left = static_cast<uint64_t>(end - p);
        const uint32_t h = ReadLe16(p);
        int type = -1;
        if (left >= 3) {
            if ((h & 0xF000) == 0xD000)
                type = ARM_OFF8;
            else if ((h & 0xF800) == 0xE000)
                type = ARM_OFF11;
        }
        if (type < 0) {
            if (left < 5) {
                p += 2;
                aligned = !aligned;
                continue;
            }
            const uint32_t second = ReadLe16(p + 2);
            const uint32_t w = (h << 16) | second;
            if ((w & 0xF8008000) == 0xF0008000) {
                type = (second & 0x5000) ? ARM_OFF25 : ARM_OFF21;
            } else if (aligned && (ReadLe32(p) & 0x0E000000) == 0x0A000000) {
                type = ARM_OFF24;
            } else {
                p += 2;
                aligned = !aligned;
                continue;
            }
        }
        const uint32_t rva = static_cast<uint32_t>(section.addr + uint64_t(p - begin));
        // Only a branch that is kept is made into a location.
        TypedRVAARM probe(static_cast<uint8_t>(type), rva);
        if (!probe.ComputeTarget(p))
            return false;
        if (IsInLoadableSegment(rva + probe.relative_target())) {
            TypedRVAARM* location = MakeLocation<TypedRVAARM>(static_cast<uint8_t>(type), rva);
            if (!location || !location->ComputeTarget(p) || !AddRel32Location(location))
                return false;
            p += probe.OpSize();
            aligned = true;
            continue;
        }
        p += 2;
        aligned = !aligned;
    }
    return true;
}

} // namespace deltapatch
