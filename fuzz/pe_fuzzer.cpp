// Feeds arbitrary bytes through the PE32 and PE32+ parsers and everything a patch does
// with an element: disassemble, trim, encode, write, read, assemble.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "disassembler_win32_x64.h"
#include "disassembler_win32_x86.h"
#include "executable_roundtrip.h"

using namespace deltapatch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<Disassembler> parsers[] = {std::unique_ptr<Disassembler>(new DisassemblerWin32X86(data, size)),
                                               std::unique_ptr<Disassembler>(new DisassemblerWin32X64(data, size))};
    fuzz::RunFirstAccepted(parsers);
    return 0;
}
