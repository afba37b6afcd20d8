#include "executabledetection.h"

#include <memory>
#include <new>

#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "disassembler_elf_32_arm.h"
#include "disassembler_elf_32_x86.h"
#include "disassembler_elf_64_x64.h"
#include "disassembler_macho.h"
#include "disassembler_win32_x64.h"
#include "disassembler_win32_x86.h"

namespace deltapatch {

namespace {

template <class Parser> Disassembler* Make(const void* buffer, size_t length)
{
    return new (std::nothrow) Parser(buffer, length);
}

} // namespace

Disassembler* SelectDisassembler(const void* buffer, size_t length)
{
    // The order settles files that two parsers would accept.
    Disassembler* (*const makers[])(const void*, size_t) = {Make<DisassemblerWin32X86>, Make<DisassemblerWin32X64>,
                                                            Make<DisassemblerElf32X86>, Make<DisassemblerElf64X64>,
                                                            Make<DisassemblerElf32ARM>, Make<DisassemblerMacho>};
    for (auto make : makers) {
        std::unique_ptr<Disassembler> parser(make(buffer, length));
        if (parser && parser->ParseHeader())
            return parser.release();
    }
    return nullptr;
}

PatchStatus DetectExecutable(const void* buffer, size_t length, ExecutableType* kind, size_t* detectedLength)
{
    std::unique_ptr<Disassembler> parser(SelectDisassembler(buffer, length));
    if (!parser) {
        *kind = UNKNOWN;
        *detectedLength = 0;
        return StatusNotRecognized;
    }
    *kind = parser->kind();
    *detectedLength = parser->length();
    return StatusOk;
}

PatchStatus DisassembleExecutable(const void* buffer, size_t length, DisassembledProgram** output)
{
    *output = nullptr;
    std::unique_ptr<Disassembler> parser(SelectDisassembler(buffer, length));
    if (!parser)
        return StatusNotRecognized;
    std::unique_ptr<DisassembledProgram> program(new (std::nothrow) DisassembledProgram(parser->kind()));
    if (!program || !parser->Disassemble(program.get()))
        return StatusDisassemblyFailed;
    *output = program.release();
    return StatusOk;
}

PatchStatus DisassembleAndEncode(const void* buffer, size_t length, EncodedProgram** output)
{
    *output = nullptr;
    std::unique_ptr<Disassembler> parser(SelectDisassembler(buffer, length));
    if (!parser)
        return StatusNotRecognized;
    // Only ARM programs need their labels, for trimming.
    const bool direct = parser->kind() != ELF_32_ARM;
    std::unique_ptr<DisassembledProgram> program(new (std::nothrow) DisassembledProgram(parser->kind(), direct));
    // Every plain byte is a byte of the executable: one reservation holds them.
    if (!program || !program->ReserveDirect(parser->length()) || !parser->Disassemble(program.get()))
        return StatusDisassemblyFailed;
    parser.reset();
    if (direct) {
        *output = program->TakeEncodedProgram();
        return *output ? StatusOk : StatusDiffFailed;
    }
    const PatchStatus status = TrimLabels(program.get());
    if (status != StatusOk)
        return status;
    return EncodeProgram(program.get(), output);
}

void DeleteDisassembledProgram(DisassembledProgram* program)
{
    delete program;
}

} // namespace deltapatch
