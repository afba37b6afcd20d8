// Feeds arbitrary bytes through the Mach-O parser and everything a patch does
// with an element: disassemble, trim, encode, write, read, assemble.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "disassembledprogram.h"
#include "disassembler_macho.h"
#include "encodedprogram.h"
#include "streams.h"

using namespace deltapatch;

namespace {

void RunElement(Disassembler* parser) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<Disassembler> parsers[] = {
      std::unique_ptr<Disassembler>(new DisassemblerMacho(data, size))};
  for (auto& parser : parsers) {
    if (parser->ParseHeader()) {
      RunElement(parser.get());
      break;
    }
  }
  return 0;
}
