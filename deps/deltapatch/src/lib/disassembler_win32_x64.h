#ifndef DELTAPATCH_DISASSEMBLER_WIN32_X64_H
#define DELTAPATCH_DISASSEMBLER_WIN32_X64_H

#include "disassembler_win32.h"

namespace deltapatch {

// PE32+ images: DIR64 base relocations, of which only the low half of each
// address becomes a reference, and the rip-relative forms as well.
class DisassemblerWin32X64 : public DisassemblerWin32
{
public:
    using DisassemblerWin32::DisassemblerWin32;

    ExecutableType kind() const override { return WIN_32_X64; }
    bool SupportsPe32Plus() const override { return true; }
    uint32_t RelocationType() const override { return 10; }
};

} // namespace deltapatch

#endif
