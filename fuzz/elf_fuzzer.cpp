// Feeds arbitrary bytes through the ELF parsers and everything a patch does
// with an element: disassemble, trim, encode, write, read, assemble.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "disassembler_elf_32_arm.h"
#include "disassembler_elf_32_x86.h"
#include "disassembler_elf_64_x64.h"
#include "executable_roundtrip.h"

using namespace deltapatch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<Disassembler> parsers[] = {std::unique_ptr<Disassembler>(new DisassemblerElf32X86(data, size)),
                                               std::unique_ptr<Disassembler>(new DisassemblerElf64X64(data, size)),
                                               std::unique_ptr<Disassembler>(new DisassemblerElf32ARM(data, size))};
    fuzz::RunFirstAccepted(parsers);
    return 0;
}
