#ifndef DELTAPATCH_DISASSEMBLER_WIN32_X86_H
#define DELTAPATCH_DISASSEMBLER_WIN32_X86_H

#include "disassembler_win32.h"

namespace deltapatch {

// PE32 images: HIGHLOW base relocations, no rip-relative forms.
class DisassemblerWin32X86 : public DisassemblerWin32
{
public:
    using DisassemblerWin32::DisassemblerWin32;

    ExecutableType kind() const override { return WIN_32_X86; }
    bool SupportsPe32Plus() const override { return false; }
    uint32_t RelocationType() const override { return 3; }
};

} // namespace deltapatch

#endif
