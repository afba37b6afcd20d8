#ifndef DELTAPATCH_X86REL32SCAN_H
#define DELTAPATCH_X86REL32SCAN_H

#include <cstdint>

namespace deltapatch {

// Bytes that can start an instruction with a 4-byte relative operand; most
// bytes cannot, and are passed over without the tests behind them.
struct X86OperandStarts
{
    bool can[256] = {};
    constexpr X86OperandStarts()
    {
        for (uint8_t b : {0xE8, 0xE9, 0xFF, 0x0F, 0x48, 0x49})
            can[b] = true;
    }
};
inline constexpr X86OperandStarts kX86OperandStarts{};

// The 4-byte relative operand of the instruction at p, of which left bytes
// remain in the code, or null: call/jmp rel32 and jcc rel32, and with x64
// also the rip-relative forms, which set *ripRelative.
inline const uint8_t* X86Rel32Operand(const uint8_t* p, uint64_t left, bool x64, bool* ripRelative)
{
    *ripRelative = false;
    if (!kX86OperandStarts.can[p[0]])
        return nullptr;
    if (left >= 5 && (p[0] == 0xE8 || p[0] == 0xE9))
        return p + 1; // call/jmp rel32
    if (left >= 6 && p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && p[1] != 0x8A && p[1] != 0x8B)
        return p + 2; // jcc rel32, except the parity forms
    if (!x64)
        return nullptr;
    *ripRelative = true;
    if (left >= 6 && p[0] == 0xFF && (p[1] == 0x15 || p[1] == 0x25))
        return p + 2; // call/jmp through a rip-relative slot
    if (left >= 7 && (p[0] == 0x48 || p[0] == 0x49) && (p[1] == 0x8B || p[1] == 0x8D) && (p[2] & 0xC7) == 0x05)
        return p + 3; // mov/lea with a rip-relative operand
    *ripRelative = false;
    return nullptr;
}

// What a scan's caller made of an operand it was offered.
enum X86OperandUse { kOperandPassed, kOperandKept, kOperandFailed };

// Offers every relative operand in the code [begin, end) to use(operand),
// in address order. A kept operand is stepped over; after one that is
// passed the walk goes on at the next byte, as the match may lie inside
// another instruction. False once use fails.
template <class Use> bool ScanX86Rel32Operands(const uint8_t* begin, const uint8_t* end, bool x64, Use use)
{
    const uint8_t* p = begin;
    while (p < end) {
        bool ripRelative = false;
        const uint8_t* operand = X86Rel32Operand(p, static_cast<uint64_t>(end - p), x64, &ripRelative);
        if (operand) {
            const X86OperandUse outcome = use(operand);
            if (outcome == kOperandFailed)
                return false;
            if (outcome == kOperandKept) {
                p = operand + 4;
                continue;
            }
        }
        ++p;
    }
    return true;
}

} // namespace deltapatch

#endif
