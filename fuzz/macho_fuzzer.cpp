// Feeds arbitrary bytes through the Mach-O parser and everything a patch does
// with an element: disassemble, trim, encode, write, read, assemble.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "disassembler_macho.h"
#include "executable_roundtrip.h"

using namespace deltapatch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<Disassembler> parsers[] = {std::unique_ptr<Disassembler>(new DisassemblerMacho(data, size))};
    fuzz::RunFirstAccepted(parsers);
    return 0;
}
