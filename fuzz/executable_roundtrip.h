// The round trip every executable fuzzer drives an element through, the way a
// patch does: disassemble, trim, encode, write, read, assemble.
#ifndef QND_FUZZ_EXECUTABLE_ROUNDTRIP_H
#define QND_FUZZ_EXECUTABLE_ROUNDTRIP_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "disassembledprogram.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "streams.h"

namespace fuzz {

inline void RunElement(deltapatch::Disassembler* parser)
{
    using namespace deltapatch;
    DisassembledProgram program(parser->kind());
    if (!parser->Disassemble(&program))
        return;
    if (TrimLabels(&program) != StatusOk)
        return;
    EncodedProgram* encoded = nullptr;
    if (EncodeProgram(&program, &encoded) != StatusOk)
        return;
    WriteStreamSet set;
    PatchStatus written = WriteEncodedProgram(encoded, &set);
    DeleteEncodedProgram(encoded);
    if (written != StatusOk)
        return;
    WriteStream flat;
    if (!set.CopyTo(&flat))
        return;
    ReadStreamSet readSet;
    if (!readSet.Init(flat.Data(), flat.Size()))
        __builtin_trap();
    EncodedProgram* read = nullptr;
    // What was just written must read back.
    if (ReadEncodedProgram(&readSet, &read) != StatusOk)
        __builtin_trap();
    WriteStream out;
    AssembleEncodedProgram(read, &out);
    DeleteEncodedProgram(read);
}

inline bool Flatten(deltapatch::EncodedProgram* encoded, deltapatch::WriteStream* flat)
{
    using namespace deltapatch;
    WriteStreamSet set;
    const PatchStatus written = WriteEncodedProgram(encoded, &set);
    DeleteEncodedProgram(encoded);
    return written == StatusOk && set.CopyTo(flat);
}

// The applier encodes the base's elements as it disassembles them; that
// must give what the full pipeline gives, status and streams alike.
inline void CheckDirectEncoding(const uint8_t* data, size_t size)
{
    using namespace deltapatch;
    DisassembledProgram* program = nullptr;
    PatchStatus status = DisassembleExecutable(data, size, &program);
    EncodedProgram* encoded = nullptr;
    if (status == StatusOk)
        status = TrimLabels(program);
    if (status == StatusOk)
        status = EncodeProgram(program, &encoded);
    DeleteDisassembledProgram(program);
    EncodedProgram* direct = nullptr;
    const PatchStatus directStatus = DisassembleAndEncode(data, size, &direct);
    if (status != directStatus)
        __builtin_trap();
    if (status != StatusOk)
        return;
    WriteStream full;
    WriteStream fast;
    if (!Flatten(encoded, &full) || !Flatten(direct, &fast))
        return;
    if (full.Size() != fast.Size() || std::memcmp(full.Data(), fast.Data(), full.Size()) != 0)
        __builtin_trap();
}

// Runs the first parser, in the order given, whose header check accepts the input.
template <size_t N> void RunFirstAccepted(std::unique_ptr<deltapatch::Disassembler> (&parsers)[N])
{
    for (auto& parser : parsers) {
        if (parser->ParseHeader()) {
            RunElement(parser.get());
            CheckDirectEncoding(parser->start(), static_cast<size_t>(parser->end() - parser->start()));
            return;
        }
    }
}

} // namespace fuzz

#endif // QND_FUZZ_EXECUTABLE_ROUNDTRIP_H
