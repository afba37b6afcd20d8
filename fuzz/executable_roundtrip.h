// The round trip every executable fuzzer drives an element through, the way a
// patch does: disassemble, trim, encode, write, read, assemble.
#ifndef QND_FUZZ_EXECUTABLE_ROUNDTRIP_H
#define QND_FUZZ_EXECUTABLE_ROUNDTRIP_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "disassembledprogram.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "streams.h"

namespace fuzz {

inline void RunElement(deltapatch::Disassembler* parser) {
  using namespace deltapatch;
  DisassembledProgram program(parser->kind());
  if (!parser->Disassemble(&program)) return;
  if (TrimLabels(&program) != StatusOk) return;
  EncodedProgram* encoded = nullptr;
  if (EncodeProgram(&program, &encoded) != StatusOk) return;
  WriteStreamSet set;
  PatchStatus written = WriteEncodedProgram(encoded, &set);
  DeleteEncodedProgram(encoded);
  if (written != StatusOk) return;
  WriteStream flat;
  if (!set.CopyTo(&flat)) return;
  ReadStreamSet readSet;
  if (!readSet.Init(flat.Data(), flat.Size())) __builtin_trap();
  EncodedProgram* read = nullptr;
  // What was just written must read back.
  if (ReadEncodedProgram(&readSet, &read) != StatusOk) __builtin_trap();
  WriteStream out;
  AssembleEncodedProgram(read, &out);
  DeleteEncodedProgram(read);
}

// Runs the first parser, in the order given, whose header check accepts the input.
template <size_t N>
void RunFirstAccepted(std::unique_ptr<deltapatch::Disassembler> (&parsers)[N]) {
  for (auto& parser : parsers) {
    if (parser->ParseHeader()) {
      RunElement(parser.get());
      return;
    }
  }
}

}  // namespace fuzz

#endif  // QND_FUZZ_EXECUTABLE_ROUNDTRIP_H
