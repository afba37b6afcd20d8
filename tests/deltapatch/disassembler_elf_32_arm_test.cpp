#include "disassembler_elf_32_arm.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

namespace deltapatch {
namespace {

// Decoding a branch and encoding it back at the same place must give the
// instruction's own bits, or ARM elements would not reassemble.
bool RoundTrips(uint8_t type, uint32_t value, uint32_t rva)
{
    uint16_t op = 0;
    uint32_t relative = 0;
    if (!DisassemblerElf32ARM::DecodeArmBranch(type, value, rva, &op, &relative))
        return false;
    uint32_t encoded = 0;
    if (!DisassemblerElf32ARM::EncodeArmBranch(type, op, relative, &encoded))
        return false;
    if (type == ARM_OFF8 || type == ARM_OFF11)
        encoded &= 0xFFFF;
    return encoded == value;
}

const uint32_t kRvas[] = {0x8000, 0x8002}; // word-aligned and halfword-aligned

TEST(ArmBranchCodecTest, EveryThumbHalfwordRoundTrips)
{
    for (uint32_t rva : kRvas) {
        int checked = 0;
        for (uint32_t h = 0; h < 0x10000; ++h) {
            if ((h & 0xF000) == 0xD000) {
                ASSERT_TRUE(RoundTrips(ARM_OFF8, h, rva)) << std::hex << h;
                ++checked;
            } else if ((h & 0xF800) == 0xE000) {
                ASSERT_TRUE(RoundTrips(ARM_OFF11, h, rva)) << std::hex << h;
                ++checked;
            }
        }
        EXPECT_EQ(4096 + 2048, checked);
    }
}

TEST(ArmBranchCodecTest, RandomWordsOfTheWideFormsRoundTrip)
{
    std::mt19937 random(0xA5A5);
    for (uint32_t rva : kRvas) {
        for (int i = 0; i < 1000000; ++i) {
            const uint32_t bits = random();
            const uint32_t arm = (bits & ~0x0E000000u) | 0x0A000000u;
            ASSERT_TRUE(RoundTrips(ARM_OFF24, arm, rva)) << std::hex << arm;
            uint32_t thumb2 = (bits & ~0xF8008000u) | 0xF0008000u;
            if ((thumb2 & 0x5000) == 0)
                thumb2 |= 0x1000;
            ASSERT_TRUE(RoundTrips(ARM_OFF25, thumb2, rva)) << std::hex << thumb2;
            const uint32_t conditional = ((bits & ~0xF8008000u) | 0xF0008000u) & ~0x5000u;
            ASSERT_TRUE(RoundTrips(ARM_OFF21, conditional, rva)) << std::hex << conditional;
        }
    }
}

TEST(ArmBranchCodecTest, DecodesTargetsAndOps)
{
    struct Row
    {
        uint8_t type;
        uint32_t value, rva;
        uint16_t op;
        uint32_t relative;
    } rows[] = {
        {ARM_OFF8, 0xD0FE, 0x8000, 0x10D0, 0},      // beq .
        {ARM_OFF8, 0xD17F, 0x8000, 0x10D1, 0x102},  // bne with the largest forward reach
        {ARM_OFF11, 0xE7FE, 0x8000, 0x201C, 0},     // b .
        {ARM_OFF24, 0xEAFFFFFE, 0x8000, 0x30EA, 0}, // b .
        {ARM_OFF24, 0xEB000000, 0x8000, 0x30EB, 8}, // bl next word + 4
        {ARM_OFF25, 0xF000F800, 0x8000, 0x44F7, 4}, // bl +4
        {ARM_OFF25, 0xF000E800, 0x8002, 0x42F6, 2}, // blx from a halfword boundary
        {ARM_OFF25, 0xF000E800, 0x8000, 0x44F6, 4}, // blx from a word boundary
        {ARM_OFF25, 0xF7FFFFFE, 0x8000, 0x44F7, 0}, // bl .
        {ARM_OFF21, 0xF0008000, 0x8000, 0x5000, 4}, // beq.w +4
        {ARM_OFF21, 0xF47FAFFE, 0x8000, 0x5001, 0}, // bne.w .
    };
    for (const Row& row : rows) {
        uint16_t op = 0;
        uint32_t relative = 0;
        ASSERT_TRUE(DisassemblerElf32ARM::DecodeArmBranch(row.type, row.value, row.rva, &op, &relative));
        EXPECT_EQ(row.op, op) << std::hex << row.value;
        EXPECT_EQ(row.relative, relative) << std::hex << row.value;
    }
}

TEST(ArmBranchCodecTest, UnknownBranchTypeIsRefusedEverywhere)
{
    uint16_t op = 0;
    uint32_t value = 0;
    EXPECT_FALSE(DisassemblerElf32ARM::DecodeArmBranch(5, 0, 0, &op, &value));
    EXPECT_FALSE(DisassemblerElf32ARM::EncodeArmBranch(5, 0x6000, 0, &value));
    DisassemblerElf32ARM::TypedRVAARM location(5, 0x1000);
    const uint8_t bytes[4] = {0, 0, 0, 0};
    EXPECT_FALSE(location.ComputeTarget(bytes));
    EXPECT_EQ(65535, location.OpSize());
}

} // namespace
} // namespace deltapatch
